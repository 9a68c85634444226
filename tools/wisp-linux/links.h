// The kernel's links as the daemon sees them: NICs whose link goes down and
// up, and bridges and bonds as virtual switches whose member NICs are their
// uplinks.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "linkmsg.h"
#include "observations.h"

namespace wisplinux {

struct LinkConfig {
  // Port group -> the bridge or bond it belongs to. A switch no port group
  // names gets one port group of its own name.
  std::map<std::string, std::string> portGroups;
  // Link kinds watched as NICs besides hardware links (which have no kind).
  std::vector<std::string> nicKinds;
  // Names (shell patterns) never watched.
  std::vector<std::string> ignore;
};

struct Inventory {
  std::set<std::string> nics;
  std::map<std::string, std::string> portGroups;  // port group -> switch
  bool operator==(const Inventory &o) const { return nics == o.nics && portGroups == o.portGroups; }
  bool operator!=(const Inventory &o) const { return !(*this == o); }
};

class LinkTable {
 public:
  explicit LinkTable(LinkConfig config) : config_(std::move(config)) {}

  // Applies one link message and appends what it means, in order. A link
  // seen for the first time (at start, or newly made) only joins the table.
  void Apply(const LinkMsg &msg, std::vector<Observation> *out);
  Inventory Current() const;
  // The index of the link of that name; 0 when there is none.
  int32_t IndexOf(const std::string &name) const;
  // Carrier changes the kernel had merged into one message, recovered from
  // its carrier counters.
  uint64_t Merged() const { return merged_; }

 private:
  struct Link {
    std::string name, kind;
    uint16_t type = 0;
    bool running = false;
    bool counted = false;
    uint32_t up = 0, down = 0;
    int32_t master = 0;
  };
  bool IsSwitch(const Link &link) const;
  bool IsNic(const Link &link) const;
  const Link *SwitchOf(const Link &link) const;
  std::vector<std::string> PortGroupsOf(const std::string &sw) const;
  int ActiveUplinks(int32_t switchIndex) const;
  // Link index goes down or up (its running flag already set to up).
  void Transition(int32_t index, bool up, std::vector<Observation> *out);
  // Uplink transitions only, for a NIC that joins or leaves a switch.
  void UplinkTransition(const Link &link, int32_t switchIndex, bool up,
                        std::vector<Observation> *out);

  LinkConfig config_;
  std::map<int32_t, Link> links_;
  uint64_t merged_ = 0;
};

bool Running(const LinkMsg &msg);

}  // namespace wisplinux
