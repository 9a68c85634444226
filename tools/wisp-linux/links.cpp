#include "links.h"

#include <fnmatch.h>
#include <linux/if.h>
#include <linux/if_arp.h>

namespace wisplinux {

namespace {
constexpr uint32_t kMostChanges = 64;
}  // namespace

// By the carrier and the administrative state: the operational state
// follows the carrier only after the kernel's link watch has run, so a link
// coming up passes through "carrier on, operationally down".
bool Running(const LinkMsg &msg) {
  return (msg.flags & IFF_UP) && (msg.flags & IFF_LOWER_UP);
}

bool LinkTable::IsSwitch(const Link &link) const {
  return link.kind == "bridge" || link.kind == "bond";
}

bool LinkTable::IsNic(const Link &link) const {
  if (link.type != ARPHRD_ETHER || IsSwitch(link)) return false;
  for (const std::string &pattern : config_.ignore)
    if (fnmatch(pattern.c_str(), link.name.c_str(), 0) == 0) return false;
  if (link.kind.empty()) return true;
  for (const std::string &kind : config_.nicKinds)
    if (kind == link.kind) return true;
  return false;
}

const LinkTable::Link *LinkTable::SwitchOf(const Link &link) const {
  if (link.master == 0) return nullptr;
  auto it = links_.find(link.master);
  return it != links_.end() && IsSwitch(it->second) ? &it->second : nullptr;
}

std::vector<std::string> LinkTable::PortGroupsOf(const std::string &sw) const {
  std::vector<std::string> groups;
  for (const auto &pg : config_.portGroups)
    if (pg.second == sw) groups.push_back(pg.first);
  if (groups.empty()) groups.push_back(sw);
  return groups;
}

int LinkTable::ActiveUplinks(int32_t switchIndex) const {
  int active = 0;
  for (const auto &entry : links_)
    if (entry.second.master == switchIndex && entry.second.running && IsNic(entry.second)) ++active;
  return active;
}

void LinkTable::UplinkTransition(const Link &link, int32_t switchIndex, bool up,
                                 std::vector<Observation> *out) {
  auto sw = links_.find(switchIndex);
  if (sw == links_.end() || !IsSwitch(sw->second) || !IsNic(link)) return;
  int active = ActiveUplinks(switchIndex);
  for (const std::string &group : PortGroupsOf(sw->second.name)) {
    if (up)
      out->push_back({ObsKind::kUplinkUp, {Str(link.name), Str(group), I32(active)}});
    else
      out->push_back({ObsKind::kUplinkDown, {Str(link.name), Str(group), I32(active), I32(0)}});
  }
}

void LinkTable::Transition(int32_t index, bool up, std::vector<Observation> *out) {
  Link &link = links_[index];
  link.running = up;
  // The port groups first: the daemon then reports the uplink's loss for
  // them rather than the bare link state.
  if (link.master != 0) UplinkTransition(link, link.master, up, out);
  if (IsNic(link)) out->push_back({up ? ObsKind::kLinkUp : ObsKind::kLinkDown, {Str(link.name)}});
}

void LinkTable::Apply(const LinkMsg &msg, std::vector<Observation> *out) {
  auto it = links_.find(msg.index);
  if (msg.removed) {
    if (it == links_.end()) return;
    if (it->second.running) Transition(msg.index, false, out);
    links_.erase(msg.index);
    return;
  }
  bool running = Running(msg);
  if (it == links_.end() || it->second.name != msg.name) {
    Link &link = links_[msg.index];
    link = Link();
    link.name = msg.name;
    link.kind = msg.kind;
    link.type = msg.type;
    link.running = running;
    link.master = msg.master;
    link.counted = msg.hasCarrierCounts;
    link.up = msg.carrierUp;
    link.down = msg.carrierDown;
    return;
  }
  Link &link = it->second;
  link.kind = msg.kind;
  link.type = msg.type;
  // Leaving a switch while up is a loss of that switch's uplink.
  bool joined = false;
  if (msg.master != link.master) {
    int32_t old = link.master;
    link.master = msg.master;
    if (link.running && old != 0) {
      link.running = false;
      UplinkTransition(link, old, false, out);
      link.running = true;
    }
    joined = msg.master != 0;
  }
  // How many times the link changed: the carrier counters say how often the
  // carrier did, also when the kernel sent one message for several changes.
  uint32_t changes = 0;
  if (link.counted && msg.hasCarrierCounts)
    changes = (msg.carrierUp - link.up) + (msg.carrierDown - link.down);
  bool differs = running != link.running;
  if (changes == 0) changes = differs ? 1 : 0;
  // Counters that jumped further than any real burst (a new device behind
  // an old index, a damaged capture) are not replayed change by change.
  if (changes > kMostChanges) changes = kMostChanges;
  // An even count returns to the state it left; an odd one ends elsewhere.
  if (((changes % 2) == 1) != differs) ++changes;
  if (IsNic(link)) merged_ += changes - (differs ? 1 : 0);
  link.counted = msg.hasCarrierCounts;
  link.up = msg.carrierUp;
  link.down = msg.carrierDown;
  for (uint32_t i = 0; i < changes; ++i) Transition(msg.index, !link.running, out);
  if (joined && changes == 0 && link.running) UplinkTransition(link, link.master, true, out);
}

int32_t LinkTable::IndexOf(const std::string &name) const {
  for (const auto &entry : links_)
    if (entry.second.name == name) return entry.first;
  return 0;
}

Inventory LinkTable::Current() const {
  Inventory inv;
  for (const auto &entry : links_) {
    const Link &link = entry.second;
    if (IsNic(link)) inv.nics.insert(link.name);
    if (IsSwitch(link))
      for (const std::string &group : PortGroupsOf(link.name)) inv.portGroups[group] = link.name;
  }
  return inv;
}

}  // namespace wisplinux
