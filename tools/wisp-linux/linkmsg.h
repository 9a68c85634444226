// One rtnetlink link message (RTM_NEWLINK / RTM_DELLINK), decoded with every
// attribute checked against the message's bounds and its expected size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace wisplinux {

struct LinkMsg {
  bool removed = false;  // RTM_DELLINK
  int32_t index = 0;
  uint16_t type = 0;   // ARPHRD_*
  uint32_t flags = 0;  // IFF_*
  std::string name;
  uint8_t operstate = 0;  // IF_OPER_*; 0 (unknown) when absent
  bool hasCarrierCounts = false;
  uint32_t carrierUp = 0, carrierDown = 0;
  int32_t master = 0;  // 0: none
  std::string kind;    // IFLA_INFO_KIND ("bridge", "bond", "veth"); empty for hardware
};

// Result of reading one buffer of netlink messages.
struct LinkBatch {
  std::vector<LinkMsg> links;
  size_t bad = 0;        // messages that did not decode
  bool overrun = false;  // an NLMSG_ERROR said the kernel dropped messages
  std::string firstProblem;
};

// Decodes every message of a buffer read from a NETLINK_ROUTE socket. Other
// message types (NLMSG_DONE, addresses) are skipped; a message cut short or
// with a malformed attribute counts as bad and ends the buffer.
LinkBatch DecodeLinkMessages(const void *data, size_t size);

}  // namespace wisplinux
