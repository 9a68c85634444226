#include "wispdNetRedundancy.h"

#include <algorithm>
#include <initializer_list>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "mantlectl/hostctl.h"
#include "mantlectl/hostctl_exception.h"
#include "wispdClock.h"
#include "wispdFlare.h"
#include "wispdLog.h"
#include "wispdNetFlapping.h"
#include "wispdTimer.h"

namespace {

const uint64_t kNanosPerSecond = 1000000000;

// Pending marks, one per kind of queued evaluation.
enum : uint32_t {
  NET_MARK_PG_DOWN = 0x01,
  NET_MARK_PG_UP = 0x02,
  NET_MARK_DV_DOWN = 0x04,
  NET_MARK_DV_UP = 0x08,
  NET_MARK_LINK_DOWN = 0x10,
  NET_MARK_LINK_UP = 0x20,
  NET_MARK_WATCHDOG = 0x40,
};

// Both link-down paths and both restoration paths post the same flares.
constexpr char kLinkDownFlare[] =
    "@&!*@*@(tarn.problem.net.pnic.linkstate.down)Physical NIC %s linkstate is down";
constexpr char kPgConnectivityRestoredFlare[] =
    "@&!*@*@(tarn.clear.net.connectivity.restored)Network connectivity restored on virtual "
    "switch %s, portgroups: %s. Physical NIC %s is up";
constexpr char kPgRedundancyRestoredFlare[] =
    "@&!*@*@(tarn.clear.net.redundancy.restored)Uplink redundancy restored on virtual switch "
    "%s, portgroups: %s. Physical NIC %s is up";
constexpr char kDvConnectivityRestoredFlare[] =
    "@&!*@*@(tarn.clear.net.dvport.connectivity.restored)Network connectivity restored on "
    "DVPorts: %s. Physical NIC %s is up";
constexpr char kDvRedundancyRestoredFlare[] =
    "@&!*@*@(tarn.clear.net.dvport.redundancy.restored)Uplink redundancy restored on "
    "DVPorts: %s. Physical NIC %s is up recently";

struct Entry {
  std::string uplink;
  uint32_t mark;
  uint64_t deadline;  // steady clock, nanoseconds
};

// Orders the heap so that its front is the earliest deadline.
bool LaterDeadline(const Entry &a, const Entry &b) {
  return a.deadline > b.deadline;
}

struct PortGroupRecord {
  std::string portGroup;
  int32_t extra;  // carried, never consulted
  int32_t count;  // uplinks the port group still has
};

struct DvPortRecord {
  std::string part1;
  std::string part2;
  int32_t extra;
  int32_t count;
  std::string Key() const { return part1 + "/" + part2; }
};

// (uplink, port group or distributed-port key)
typedef std::vector<std::pair<std::string, std::string>> Losses;

int gTimer = -1;
std::map<std::string, uint32_t> gMarks;
std::vector<Entry> gQueue;
std::map<std::string, std::vector<PortGroupRecord>> gPgDown, gPgUp;
std::map<std::string, std::vector<DvPortRecord>> gDvDown, gDvUp;
Losses gPgNoConnectivity, gPgNoRedundancy, gDvNoConnectivity, gDvNoRedundancy;
// Redundancy that came back while another loss was still outstanding waits
// here to be reported with the next restoration that finds none.
std::vector<std::string> gPgRestored, gDvRestored;
// (uplink, mark) of evaluations waiting to retry a failed switch lookup.
std::set<std::pair<std::string, uint32_t>> gLookupRetry;

void Schedule(unsigned delaySeconds, const std::string &uplink, uint32_t mark);

// A failed virtual-switch lookup is retried once, after the watchdog delay;
// mark and records stay, so a watchdog evaluation meanwhile still sees them.
// The retry reports even if the lookup fails again (with an empty name):
// no loss goes unreported and no records pile up. True while waiting.
bool AwaitLookupRetry(const std::string &uplink, uint32_t mark, const std::string &vswitch) {
  std::pair<std::string, uint32_t> key(uplink, mark);
  if (!vswitch.empty() || gLookupRetry.erase(key) != 0) return false;
  gLookupRetry.insert(key);
  Schedule(7, uplink, mark);
  return true;
}

bool Has(const std::string &uplink, uint32_t mark) {
  auto it = gMarks.find(uplink);
  return it != gMarks.end() && (it->second & mark) == mark;
}

void Clear(const std::string &uplink, uint32_t mark) {
  if (Has(uplink, mark)) gMarks[uplink] &= ~mark;
}

template <typename Record>
bool HasRecords(const std::map<std::string, std::vector<Record>> &table,
                const std::string &uplink) {
  auto it = table.find(uplink);
  return it != table.end() && !it->second.empty();
}

// The quoted name of the port group's virtual switch; empty when unknown.
std::string VirtualSwitchOf(const std::string &portGroup) {
  try {
    std::unique_ptr<HostCtl::Network::PortGroup> pg(
        HostCtl::Network::NetworkFactory::GetPortGroupByName(portGroup));
    if (!pg) return "";
    return "\"" + pg->GetVirtualSwitchName() + "\"";
  } catch (const HostCtl::Lib::HostCtlException &) {
    return "";
  }
}

std::string FormatList(const std::vector<std::string> &names) {
  std::string out;
  for (const std::string &name : names) {
    if (!out.empty()) out += ", ";
    out += "\"" + name + "\"";
  }
  return out;
}

void RemovePair(Losses *losses, const std::string &uplink, const std::string &name) {
  losses->erase(std::remove(losses->begin(), losses->end(), std::make_pair(uplink, name)),
                losses->end());
}

void RemoveUplink(Losses *losses, const std::string &uplink) {
  losses->erase(std::remove_if(losses->begin(), losses->end(),
                               [&](const Losses::value_type &p) { return p.first == uplink; }),
                losses->end());
}

struct LossLists {
  std::vector<std::string> connectivity, redundancy, degraded;
};

void ClassifyLoss(int32_t count, const std::string &uplink, const std::string &name,
                  LossLists *lists, Losses *noConnectivity, Losses *noRedundancy) {
  if (count < 0) return;
  if (count == 0) {
    lists->connectivity.push_back(name);
    noConnectivity->emplace_back(uplink, name);
  } else if (count == 1) {
    lists->redundancy.push_back(name);
    noRedundancy->emplace_back(uplink, name);
  } else {
    lists->degraded.push_back(name);
  }
}

// One up record: any remaining uplink restores connectivity, two or more
// restore redundancy as well. "same" are the vectors of the record's own
// kind (port group or distributed port), "other" those of the other kind.
void ApplyRestore(int32_t count, const std::string &uplink, const std::string &name,
                  std::vector<std::string> *restoredConnectivity,
                  std::vector<std::string> *restoredRedundancy, Losses *sameNoConnectivity,
                  Losses *otherNoConnectivity, Losses *sameNoRedundancy,
                  Losses *otherNoRedundancy) {
  if (count <= 0) return;
  (count == 1 ? restoredConnectivity : restoredRedundancy)->push_back(name);
  RemovePair(sameNoConnectivity, uplink, name);
  RemoveUplink(otherNoConnectivity, uplink);
  if (count >= 2) {
    RemovePair(sameNoRedundancy, uplink, name);
    RemoveUplink(otherNoRedundancy, uplink);
  }
}

bool NoConnectivityLoss() {
  return gPgNoConnectivity.empty() && gDvNoConnectivity.empty();
}

bool NoRedundancyLoss() {
  return gPgNoRedundancy.empty() && gDvNoRedundancy.empty();
}

void EvaluatePgDown(const std::string &uplink) {
  auto it = gPgDown.find(uplink);
  if (it == gPgDown.end() || it->second.empty()) return;
  std::string vswitch = VirtualSwitchOf(it->second.front().portGroup);
  if (AwaitLookupRetry(uplink, NET_MARK_PG_DOWN, vswitch)) return;
  Clear(uplink, NET_MARK_PG_DOWN);
  LossLists lost;
  for (const PortGroupRecord &r : it->second)
    ClassifyLoss(r.count, uplink, r.portGroup, &lost, &gPgNoConnectivity, &gPgNoRedundancy);
  const char *vs = vswitch.c_str(), *nic = uplink.c_str();
  if (!lost.connectivity.empty()) {
    Flare_PostProblem(
        "@&!*@*@(tarn.problem.net.connectivity.lost)Lost network connectivity on virtual "
        "switch %s. Physical NIC %s is down. Affected port groups: %s",
        vs, nic, FormatList(lost.connectivity).c_str());
  }
  if (!lost.redundancy.empty()) {
    Flare_PostProblem(
        "@&!*@*@(tarn.problem.net.redundancy.lost)Lost uplink redundancy on virtual switch %s. "
        "Physical NIC %s is down. Affected port groups: %s",
        vs, nic, FormatList(lost.redundancy).c_str());
  }
  if (!lost.degraded.empty()) {
    Flare_PostProblem(
        "@&!*@*@(tarn.problem.net.redundancy.degraded)Uplink redundancy degraded on virtual "
        "switch %s. Physical NIC %s is down. Affected port groups: %s",
        vs, nic, FormatList(lost.degraded).c_str());
  }
  gPgDown.erase(it);
}

void EvaluateDvDown(const std::string &uplink) {
  auto it = gDvDown.find(uplink);
  if (it == gDvDown.end() || it->second.empty()) return;
  Clear(uplink, NET_MARK_DV_DOWN);
  LossLists lost;
  for (const DvPortRecord &r : it->second)
    ClassifyLoss(r.count, uplink, r.Key(), &lost, &gDvNoConnectivity, &gDvNoRedundancy);
  const char *nic = uplink.c_str();
  if (!lost.connectivity.empty()) {
    Flare_PostProblem(
        "@&!*@*@(tarn.problem.net.dvport.connectivity.lost)Lost network connectivity on "
        "DVPorts: %s. Physical NIC %s is down.",
        FormatList(lost.connectivity).c_str(), nic);
  }
  if (!lost.redundancy.empty()) {
    Flare_PostProblem(
        "@&!*@*@(tarn.problem.net.dvport.redundancy.lost)Lost uplink redundancy on DVPorts: %s. "
        "Physical NIC %s is down.",
        FormatList(lost.redundancy).c_str(), nic);
  }
  if (!lost.degraded.empty()) {
    Flare_PostProblem(
        "@&!*@*@(tarn.problem.net.dvport.redundancy.degraded)Uplink redundancy degraded on "
        "DVPorts: %s. Physical NIC %s is down.",
        FormatList(lost.degraded).c_str(), nic);
  }
  gDvDown.erase(it);
}

void EvaluatePgUp(const std::string &uplink) {
  auto it = gPgUp.find(uplink);
  if (it == gPgUp.end() || it->second.empty()) return;
  std::string vswitch = VirtualSwitchOf(it->second.front().portGroup);
  if (AwaitLookupRetry(uplink, NET_MARK_PG_UP, vswitch)) return;
  Clear(uplink, NET_MARK_PG_UP);
  std::vector<std::string> restored;
  for (const PortGroupRecord &r : it->second) {
    ApplyRestore(r.count, uplink, r.portGroup, &restored, &gPgRestored, &gPgNoConnectivity,
                 &gDvNoConnectivity, &gPgNoRedundancy, &gDvNoRedundancy);
  }
  if (!restored.empty() && NoConnectivityLoss()) {
    Flare_PostClear(kPgConnectivityRestoredFlare, vswitch.c_str(), FormatList(restored).c_str(),
                    uplink.c_str());
  }
  if (!gPgRestored.empty() && NoRedundancyLoss()) {
    Flare_PostClear(kPgRedundancyRestoredFlare, vswitch.c_str(), FormatList(gPgRestored).c_str(),
                    uplink.c_str());
    gPgRestored.clear();
  }
  gPgUp.erase(it);
}

void EvaluateDvUp(const std::string &uplink) {
  auto it = gDvUp.find(uplink);
  if (it == gDvUp.end() || it->second.empty()) return;
  Clear(uplink, NET_MARK_DV_UP);
  std::vector<std::string> restored;
  for (const DvPortRecord &r : it->second) {
    ApplyRestore(r.count, uplink, r.Key(), &restored, &gDvRestored, &gDvNoConnectivity,
                 &gPgNoConnectivity, &gDvNoRedundancy, &gPgNoRedundancy);
  }
  if (!restored.empty() && NoConnectivityLoss())
    Flare_PostClear(kDvConnectivityRestoredFlare, FormatList(restored).c_str(), uplink.c_str());
  if (!gDvRestored.empty() && NoRedundancyLoss()) {
    Flare_PostClear(kDvRedundancyRestoredFlare, FormatList(gDvRestored).c_str(), uplink.c_str());
    gDvRestored.clear();
  }
  gDvUp.erase(it);
}

void EvaluateLinkDown(const std::string &uplink) {
  Clear(uplink, NET_MARK_LINK_DOWN);
  // Port-group or distributed transitions report this failure instead.
  if (Has(uplink, NET_MARK_PG_DOWN) || Has(uplink, NET_MARK_DV_DOWN) ||
      Has(uplink, NET_MARK_WATCHDOG))
    return;
  Flare_PostProblem(kLinkDownFlare, uplink.c_str());
}

void EvaluateLinkUp(const std::string &uplink) {
  Clear(uplink, NET_MARK_LINK_UP);
  if (Has(uplink, NET_MARK_PG_UP) || Has(uplink, NET_MARK_DV_UP) || Has(uplink, NET_MARK_WATCHDOG))
    return;
  const char *nic = uplink.c_str();
  Flare_PostClear("@&!*@*@(tarn.clear.net.pnic.linkstate.up)Physical NIC %s linkstate is up", nic);
  for (Losses *losses :
       {&gPgNoConnectivity, &gPgNoRedundancy, &gDvNoConnectivity, &gDvNoRedundancy})
    RemoveUplink(losses, uplink);
  if (NoConnectivityLoss()) {
    Flare_PostClear(kPgConnectivityRestoredFlare, "", "", nic);
    Flare_PostClear(kDvConnectivityRestoredFlare, "", nic);
  }
  if (NoRedundancyLoss()) {
    Flare_PostClear(kPgRedundancyRestoredFlare, "", "", nic);
    Flare_PostClear(kDvRedundancyRestoredFlare, "", nic);
  }
}

// Decides, once the watchdog delay is over, between a transient failure the
// uplink came back from and a loss to report.
void EvaluateWatchdog(const std::string &uplink) {
  Clear(uplink, NET_MARK_WATCHDOG);
  bool down = Has(uplink, NET_MARK_PG_DOWN) || Has(uplink, NET_MARK_DV_DOWN);
  bool up =
      Has(uplink, NET_MARK_PG_UP) || Has(uplink, NET_MARK_DV_UP) || Has(uplink, NET_MARK_LINK_UP);
  bool linkDown = Has(uplink, NET_MARK_LINK_DOWN);
  if ((down && up) || (!down && up && linkDown)) {
    if (Has(uplink, NET_MARK_PG_DOWN)) {
      gPgDown.erase(uplink);
    } else if (Has(uplink, NET_MARK_DV_DOWN)) {
      gDvDown.erase(uplink);
    }
    if (Has(uplink, NET_MARK_PG_UP)) {
      gPgUp.erase(uplink);
    } else if (Has(uplink, NET_MARK_DV_UP)) {
      gDvUp.erase(uplink);
    }
    gMarks[uplink] = 0;
    Flare_PostProblem(
        "@&!*@*@(tarn.problem.net.pnic.watchdog.reset)Uplink %s has recovered from a transient "
        "failure due to watchdog timeout",
        uplink.c_str());
  } else if (down && !up) {
    if (Has(uplink, NET_MARK_PG_DOWN)) {
      EvaluatePgDown(uplink);
    } else {
      EvaluateDvDown(uplink);
    }
  } else if (!down && !up && linkDown) {
    Flare_PostProblem(kLinkDownFlare, uplink.c_str());
  }
}

void Evaluate(const std::string &uplink, uint32_t mark) {
  // While a watchdog evaluation is pending, it decides what the
  // transitions mean; their own evaluations pass.
  bool deferred = Has(uplink, NET_MARK_WATCHDOG);
  switch (mark) {
    case NET_MARK_PG_DOWN:
      if (!deferred) EvaluatePgDown(uplink);
      break;
    case NET_MARK_DV_DOWN:
      if (!deferred) EvaluateDvDown(uplink);
      break;
    case NET_MARK_PG_UP:
      if (!deferred) EvaluatePgUp(uplink);
      break;
    case NET_MARK_DV_UP:
      if (!deferred) EvaluateDvUp(uplink);
      break;
    case NET_MARK_LINK_DOWN:
      EvaluateLinkDown(uplink);
      break;
    case NET_MARK_LINK_UP:
      EvaluateLinkUp(uplink);
      break;
    case NET_MARK_WATCHDOG:
      EvaluateWatchdog(uplink);
      break;
    default:
      Panic("Received timeout event for unknown state: %x\n", mark);
  }
}

// Queues an evaluation of mark for uplink, delaySeconds from now.
void Schedule(unsigned delaySeconds, const std::string &uplink, uint32_t mark) {
  uint64_t now = static_cast<uint64_t>(Clock_Get().SteadyNanos());
  gMarks[uplink] |= mark;
  uint64_t deadline = now + delaySeconds * kNanosPerSecond;
  if (gQueue.empty() || gQueue.front().deadline > deadline)
    Timer_Set(gTimer, TIMER_ONESHOT, delaySeconds, nullptr);
  gQueue.push_back(Entry{uplink, mark, deadline});
  std::push_heap(gQueue.begin(), gQueue.end(), LaterDeadline);
}

// Absent strings count as failed reads: state is keyed by these names.
bool Present(std::initializer_list<const char *> strings) {
  for (const char *s : strings)
    if (s == nullptr) return false;
  return true;
}

bool ReadUplink(const Wisp *wisp, const char **uplink) {
  return Wisp_GetStringArg(wisp, 0, uplink) == 0 && *uplink != nullptr;
}

}  // namespace

void NetRedundancy_SetTimer(int timerId) {
  gTimer = timerId;
}

void NetRedundancy_Timeout(void) {
  if (gQueue.empty()) return;
  uint64_t now = static_cast<uint64_t>(Clock_Get().SteadyNanos());
  while (!gQueue.empty()) {
    const Entry &first = gQueue.front();
    // The timer counts whole seconds; what falls due within the coming
    // second is not worth another wake-up.
    if (first.deadline > now && first.deadline - now > kNanosPerSecond - 1) {
      Timer_Set(gTimer, TIMER_ONESHOT,
                static_cast<unsigned>((first.deadline - now) / kNanosPerSecond), nullptr);
      return;
    }
    std::pop_heap(gQueue.begin(), gQueue.end(), LaterDeadline);
    Entry due = std::move(gQueue.back());
    gQueue.pop_back();
    Evaluate(due.uplink, due.mark);
  }
}

void NetRedundancy_PgDown(const Wisp *wisp) {
  const char *uplink = nullptr, *portGroup = nullptr;
  int32_t count = 0, extra = 0;
  if (Wisp_GetArgs(wisp, 0, "%p %p %d %d", &uplink, &portGroup, &count, &extra) != 0 ||
      !Present({uplink, portGroup}))
    return;
  // Later transitions join the evaluation already queued.
  if (!HasRecords(gPgDown, uplink)) Schedule(2, uplink, NET_MARK_PG_DOWN);
  gPgDown[uplink].push_back(PortGroupRecord{portGroup, extra, count});
}

void NetRedundancy_PgUp(const Wisp *wisp) {
  const char *uplink = nullptr, *portGroup = nullptr;
  int32_t count = 0;
  if (Wisp_GetArgs(wisp, 0, "%p %p %d", &uplink, &portGroup, &count) != 0 ||
      !Present({uplink, portGroup}))
    return;
  if (!HasRecords(gPgUp, uplink)) Schedule(2, uplink, NET_MARK_PG_UP);
  gPgUp[uplink].push_back(PortGroupRecord{portGroup, 0, count});
}

void NetRedundancy_DvDown(const Wisp *wisp) {
  const char *uplink = nullptr, *part1 = nullptr, *part2 = nullptr;
  int32_t count = 0, extra = 0;
  if (Wisp_GetArgs(wisp, 0, "%p %p %p %d %d", &uplink, &part1, &part2, &count, &extra) != 0 ||
      !Present({uplink, part1, part2}))
    return;
  if (!HasRecords(gDvDown, uplink)) Schedule(2, uplink, NET_MARK_DV_DOWN);
  gDvDown[uplink].push_back(DvPortRecord{part1, part2, extra, count});
}

void NetRedundancy_DvUp(const Wisp *wisp) {
  const char *uplink = nullptr, *part1 = nullptr, *part2 = nullptr;
  int32_t count = 0;
  if (Wisp_GetArgs(wisp, 0, "%p %p %p %d", &uplink, &part1, &part2, &count) != 0 ||
      !Present({uplink, part1, part2}))
    return;
  if (!HasRecords(gDvUp, uplink)) Schedule(2, uplink, NET_MARK_DV_UP);
  gDvUp[uplink].push_back(DvPortRecord{part1, part2, 0, count});
}

void NetRedundancy_LinkUp(const Wisp *wisp) {
  const char *uplink = nullptr;
  if (!ReadUplink(wisp, &uplink)) return;
  // An up transition of this uplink already covers the link coming back.
  if (Has(uplink, NET_MARK_PG_UP) || Has(uplink, NET_MARK_DV_UP)) return;
  Schedule(1, uplink, NET_MARK_LINK_UP);
}

void NetRedundancy_LinkDown(const Wisp *wisp) {
  const char *uplink = nullptr;
  if (!ReadUplink(wisp, &uplink)) return;
  NetFlapping_Check(uplink);
  if (Has(uplink, NET_MARK_PG_DOWN) || Has(uplink, NET_MARK_DV_DOWN)) return;
  Schedule(1, uplink, NET_MARK_LINK_DOWN);
}

void NetRedundancy_Watchdog(const Wisp *wisp) {
  const char *uplink = nullptr;
  if (!ReadUplink(wisp, &uplink)) return;
  Schedule(7, uplink, NET_MARK_WATCHDOG);
}

void NetRedundancy_Reset(void) {
  gMarks.clear();
  gQueue.clear();
  gPgDown.clear();
  gPgUp.clear();
  gDvDown.clear();
  gDvUp.clear();
  gPgNoConnectivity.clear();
  gPgNoRedundancy.clear();
  gDvNoConnectivity.clear();
  gDvNoRedundancy.clear();
  gPgRestored.clear();
  gDvRestored.clear();
  gLookupRetry.clear();
}
