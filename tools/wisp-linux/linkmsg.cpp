#include "linkmsg.h"

#include <errno.h>
#include <libmnl/libmnl.h>
#include <linux/if.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace wisplinux {

namespace {

struct LinkAttrs {
  const struct nlattr *of[IFLA_MAX + 1];
};

int KeepLinkAttr(const struct nlattr *attr, void *data) {
  auto *attrs = static_cast<LinkAttrs *>(data);
  uint16_t type = mnl_attr_get_type(attr);
  if (type <= IFLA_MAX) attrs->of[type] = attr;
  return MNL_CB_OK;
}

int KeepInfoKind(const struct nlattr *attr, void *data) {
  if (mnl_attr_get_type(attr) == IFLA_INFO_KIND) *static_cast<const struct nlattr **>(data) = attr;
  return MNL_CB_OK;
}

// A NUL-terminated text attribute no longer than limit.
bool TextAttr(const struct nlattr *attr, size_t limit, std::string *out) {
  if (mnl_attr_validate(attr, MNL_TYPE_NUL_STRING) < 0) return false;
  const char *text = mnl_attr_get_str(attr);
  size_t len = strnlen(text, mnl_attr_get_payload_len(attr));
  if (len > limit) return false;
  out->assign(text, len);
  return true;
}

bool U32Attr(const struct nlattr *attr, uint32_t *out) {
  if (mnl_attr_validate(attr, MNL_TYPE_U32) < 0) return false;
  *out = mnl_attr_get_u32(attr);
  return true;
}

bool DecodeLink(const struct nlmsghdr *nlh, LinkMsg *link, std::string *why) {
  if (mnl_nlmsg_get_payload_len(nlh) < sizeof(struct ifinfomsg)) {
    *why = "link message shorter than its header";
    return false;
  }
  const auto *ifi = static_cast<const struct ifinfomsg *>(mnl_nlmsg_get_payload(nlh));
  link->removed = nlh->nlmsg_type == RTM_DELLINK;
  link->index = ifi->ifi_index;
  link->type = ifi->ifi_type;
  link->flags = ifi->ifi_flags;
  LinkAttrs attrs;
  memset(&attrs, 0, sizeof attrs);
  if (mnl_attr_parse(nlh, sizeof(struct ifinfomsg), KeepLinkAttr, &attrs) < 0) {
    *why = "link message with a malformed attribute";
    return false;
  }
  if (!attrs.of[IFLA_IFNAME] || !TextAttr(attrs.of[IFLA_IFNAME], IFNAMSIZ - 1, &link->name) ||
      link->name.empty()) {
    *why = "link message without a valid name";
    return false;
  }
  if (attrs.of[IFLA_OPERSTATE]) {
    if (mnl_attr_validate(attrs.of[IFLA_OPERSTATE], MNL_TYPE_U8) < 0) {
      *why = "link " + link->name + ": malformed operational state";
      return false;
    }
    link->operstate = mnl_attr_get_u8(attrs.of[IFLA_OPERSTATE]);
  }
  uint32_t master = 0;
  if (attrs.of[IFLA_MASTER] && !U32Attr(attrs.of[IFLA_MASTER], &master)) {
    *why = "link " + link->name + ": malformed master";
    return false;
  }
  link->master = static_cast<int32_t>(master);
  if (attrs.of[IFLA_CARRIER_UP_COUNT] && attrs.of[IFLA_CARRIER_DOWN_COUNT]) {
    if (!U32Attr(attrs.of[IFLA_CARRIER_UP_COUNT], &link->carrierUp) ||
        !U32Attr(attrs.of[IFLA_CARRIER_DOWN_COUNT], &link->carrierDown)) {
      *why = "link " + link->name + ": malformed carrier counts";
      return false;
    }
    link->hasCarrierCounts = true;
  }
  if (attrs.of[IFLA_LINKINFO]) {
    const struct nlattr *kind = nullptr;
    if (mnl_attr_validate(attrs.of[IFLA_LINKINFO], MNL_TYPE_NESTED) < 0 ||
        mnl_attr_parse_nested(attrs.of[IFLA_LINKINFO], KeepInfoKind, &kind) < 0 ||
        (kind && !TextAttr(kind, 64, &link->kind))) {
      *why = "link " + link->name + ": malformed link information";
      return false;
    }
  }
  return true;
}

bool BridgeView(const struct nlmsghdr *nlh) {
  if (mnl_nlmsg_get_payload_len(nlh) < sizeof(struct ifinfomsg)) return false;
  const auto *ifi = static_cast<const struct ifinfomsg *>(mnl_nlmsg_get_payload(nlh));
  return ifi->ifi_family == AF_BRIDGE;
}

}  // namespace

LinkBatch DecodeLinkMessages(const void *data, size_t size) {
  LinkBatch batch;
  const auto *nlh = static_cast<const struct nlmsghdr *>(data);
  size_t left = size;
  // Bounds checked here rather than by mnl_nlmsg_ok(), which takes a length
  // above 2 GiB for a negative one and then never moves on.
  while (left >= sizeof(struct nlmsghdr) && nlh->nlmsg_len >= sizeof(struct nlmsghdr) &&
         nlh->nlmsg_len <= left) {
    if ((nlh->nlmsg_type == RTM_NEWLINK || nlh->nlmsg_type == RTM_DELLINK) && BridgeView(nlh)) {
      // A bridge's own account of its port repeats what the port's message says.
    } else if (nlh->nlmsg_type == RTM_NEWLINK || nlh->nlmsg_type == RTM_DELLINK) {
      LinkMsg link;
      std::string why;
      if (DecodeLink(nlh, &link, &why)) {
        batch.links.push_back(std::move(link));
      } else {
        ++batch.bad;
        if (batch.firstProblem.empty()) batch.firstProblem = why;
      }
    } else if (nlh->nlmsg_type == NLMSG_ERROR &&
               mnl_nlmsg_get_payload_len(nlh) >= sizeof(struct nlmsgerr)) {
      const auto *err = static_cast<const struct nlmsgerr *>(mnl_nlmsg_get_payload(nlh));
      if (err->error == -ENOBUFS) batch.overrun = true;
    }
    size_t step = std::min<size_t>(MNL_ALIGN(static_cast<size_t>(nlh->nlmsg_len)), left);
    left -= step;
    nlh = reinterpret_cast<const struct nlmsghdr *>(reinterpret_cast<const char *>(nlh) + step);
  }
  // Bytes left over that do not make a whole message.
  if (left > 0) {
    ++batch.bad;
    if (batch.firstProblem.empty()) batch.firstProblem = "a message cut short";
  }
  return batch;
}

}  // namespace wisplinux
