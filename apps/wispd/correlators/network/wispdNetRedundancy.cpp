#include "correlators/network/wispdNetRedundancy.h"

#include <algorithm>
#include <initializer_list>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "base/wispdClock.h"
#include "base/wispdLog.h"
#include "base/wispdTimer.h"
#include "correlators/network/wispdNetFlapping.h"
#include "mantlectl/hostctl.h"
#include "mantlectl/hostctl_exception.h"
#include "output/wispdFlare.h"

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

constexpr char kLinkDownFlare[] =
    "@&!*@*@(tarn.problem.net.pnic.linkstate.down)Physical NIC %s linkstate is down";

// The flares of one kind of uplink user: port groups show their virtual
// switch, distributed ports do not.
struct SideTexts {
  const char *connectivityLost, *redundancyLost, *degraded;
  const char *connectivityRestored, *redundancyRestored;
};

const SideTexts kPgTexts = {
    "@&!*@*@(tarn.problem.net.connectivity.lost)Lost network connectivity on virtual switch %s. "
    "Physical NIC %s is down. Affected port groups: %s",
    "@&!*@*@(tarn.problem.net.redundancy.lost)Lost uplink redundancy on virtual switch %s. "
    "Physical NIC %s is down. Affected port groups: %s",
    "@&!*@*@(tarn.problem.net.redundancy.degraded)Uplink redundancy degraded on virtual switch "
    "%s. Physical NIC %s is down. Affected port groups: %s",
    "@&!*@*@(tarn.clear.net.connectivity.restored)Network connectivity restored on virtual "
    "switch %s, portgroups: %s. Physical NIC %s is up",
    "@&!*@*@(tarn.clear.net.redundancy.restored)Uplink redundancy restored on virtual switch "
    "%s, portgroups: %s. Physical NIC %s is up",
};

const SideTexts kDvTexts = {
    "@&!*@*@(tarn.problem.net.dvport.connectivity.lost)Lost network connectivity on DVPorts: %s. "
    "Physical NIC %s is down.",
    "@&!*@*@(tarn.problem.net.dvport.redundancy.lost)Lost uplink redundancy on DVPorts: %s. "
    "Physical NIC %s is down.",
    "@&!*@*@(tarn.problem.net.dvport.redundancy.degraded)Uplink redundancy degraded on DVPorts: "
    "%s. Physical NIC %s is down.",
    "@&!*@*@(tarn.clear.net.dvport.connectivity.restored)Network connectivity restored on "
    "DVPorts: %s. Physical NIC %s is up",
    "@&!*@*@(tarn.clear.net.dvport.redundancy.restored)Uplink redundancy restored on DVPorts: %s. "
    "Physical NIC %s is up recently",
};

struct Entry {
  std::string uplink;
  uint32_t mark;
  uint64_t deadline;  // steady clock, nanoseconds
};

// Orders the heap so that its front is the earliest deadline.
bool LaterDeadline(const Entry &a, const Entry &b) {
  return a.deadline > b.deadline;
}

// One transition: a port group, or a distributed port as "switch/port".
struct Record {
  std::string name;
  int32_t extra;  // carried, never consulted
  int32_t count;  // uplinks the port group or port still has
};

// (uplink, port group or distributed-port key)
typedef std::vector<std::pair<std::string, std::string>> Losses;

// Port groups or distributed ports: what waits for evaluation and what is
// still lost.
struct Side {
  bool portGroups;
  uint32_t downMark, upMark;
  std::map<std::string, std::vector<Record>> down, up;
  Losses noConnectivity, noRedundancy;
  // Redundancy that came back while another loss was still outstanding
  // waits here to be reported with the next restoration that finds none.
  std::vector<std::string> restored;
};

struct State {
  std::map<std::string, uint32_t> marks;
  std::vector<Entry> queue;
  // (uplink, mark) of evaluations waiting to retry a failed switch lookup.
  std::set<std::pair<std::string, uint32_t>> lookupRetry;
  Side pg{true, NET_MARK_PG_DOWN, NET_MARK_PG_UP, {}, {}, {}, {}, {}};
  Side dv{false, NET_MARK_DV_DOWN, NET_MARK_DV_UP, {}, {}, {}, {}, {}};
};

int gTimer = -1;
State gState;

const SideTexts &TextsOf(const Side &side) {
  return side.portGroups ? kPgTexts : kDvTexts;
}

Side &Other(const Side &side) {
  return side.portGroups ? gState.dv : gState.pg;
}

bool Has(const std::string &uplink, uint32_t mark) {
  auto it = gState.marks.find(uplink);
  return it != gState.marks.end() && (it->second & mark) == mark;
}

void Clear(const std::string &uplink, uint32_t mark) {
  if (Has(uplink, mark)) gState.marks[uplink] &= ~mark;
}

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
    // Built in place: g++ 12 at -O3 takes the sum for an overlapping copy.
    std::string quoted = pg->GetVirtualSwitchName();
    quoted.insert(0, 1, '"');
    quoted += '"';
    return quoted;
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

// Port-group flares show the switch first; the argument orders differ.
void PostLoss(const Side &side, const char *format, const std::string &switchName,
              const std::string &uplink, const std::vector<std::string> &names) {
  std::string list = FormatList(names);
  if (side.portGroups) {
    Flare_PostProblem(format, switchName.c_str(), uplink.c_str(), list.c_str());
  } else {
    Flare_PostProblem(format, list.c_str(), uplink.c_str());
  }
}

void PostRestore(const Side &side, const char *format, const std::string &switchName,
                 const std::string &list, const std::string &uplink) {
  if (side.portGroups) {
    Flare_PostClear(format, switchName.c_str(), list.c_str(), uplink.c_str());
  } else {
    Flare_PostClear(format, list.c_str(), uplink.c_str());
  }
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

bool NoConnectivityLoss() {
  return gState.pg.noConnectivity.empty() && gState.dv.noConnectivity.empty();
}

bool NoRedundancyLoss() {
  return gState.pg.noRedundancy.empty() && gState.dv.noRedundancy.empty();
}

void Schedule(unsigned delaySeconds, const std::string &uplink, uint32_t mark);

// The virtual switch the side's flares name: that of the first record's port
// group. A failed lookup is retried once, after the watchdog delay; mark and
// records stay, so a watchdog evaluation meanwhile still sees them. The
// retry reports even if the lookup fails again (with an empty name): no loss
// goes unreported and no records pile up. False while waiting for the retry.
bool SwitchFor(const Side &side, const std::vector<Record> &records, const std::string &uplink,
               uint32_t mark, std::string *switchName) {
  if (!side.portGroups) return true;
  *switchName = VirtualSwitchOf(records.front().name);
  std::pair<std::string, uint32_t> key(uplink, mark);
  if (!switchName->empty() || gState.lookupRetry.erase(key) != 0) return true;
  gState.lookupRetry.insert(key);
  Schedule(7, uplink, mark);
  return false;
}

void EvaluateDown(Side &side, const std::string &uplink) {
  auto it = side.down.find(uplink);
  if (it == side.down.end() || it->second.empty()) return;
  std::string switchName;
  if (!SwitchFor(side, it->second, uplink, side.downMark, &switchName)) return;
  Clear(uplink, side.downMark);
  std::vector<std::string> connectivity, redundancy, degraded;
  for (const Record &r : it->second) {
    if (r.count < 0) continue;
    if (r.count == 0) {
      connectivity.push_back(r.name);
      side.noConnectivity.emplace_back(uplink, r.name);
    } else if (r.count == 1) {
      redundancy.push_back(r.name);
      side.noRedundancy.emplace_back(uplink, r.name);
    } else {
      degraded.push_back(r.name);
    }
  }
  const SideTexts &texts = TextsOf(side);
  if (!connectivity.empty())
    PostLoss(side, texts.connectivityLost, switchName, uplink, connectivity);
  if (!redundancy.empty()) PostLoss(side, texts.redundancyLost, switchName, uplink, redundancy);
  if (!degraded.empty()) PostLoss(side, texts.degraded, switchName, uplink, degraded);
  side.down.erase(it);
}

// Any remaining uplink restores connectivity, two or more redundancy too.
void EvaluateUp(Side &side, const std::string &uplink) {
  auto it = side.up.find(uplink);
  if (it == side.up.end() || it->second.empty()) return;
  std::string switchName;
  if (!SwitchFor(side, it->second, uplink, side.upMark, &switchName)) return;
  Clear(uplink, side.upMark);
  Side &other = Other(side);
  std::vector<std::string> restored;
  for (const Record &r : it->second) {
    if (r.count <= 0) continue;
    (r.count == 1 ? restored : side.restored).push_back(r.name);
    RemovePair(&side.noConnectivity, uplink, r.name);
    RemoveUplink(&other.noConnectivity, uplink);
    if (r.count >= 2) {
      RemovePair(&side.noRedundancy, uplink, r.name);
      RemoveUplink(&other.noRedundancy, uplink);
    }
  }
  const SideTexts &texts = TextsOf(side);
  if (!restored.empty() && NoConnectivityLoss())
    PostRestore(side, texts.connectivityRestored, switchName, FormatList(restored), uplink);
  if (!side.restored.empty() && NoRedundancyLoss()) {
    PostRestore(side, texts.redundancyRestored, switchName, FormatList(side.restored), uplink);
    side.restored.clear();
  }
  side.up.erase(it);
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
  Flare_PostClear("@&!*@*@(tarn.clear.net.pnic.linkstate.up)Physical NIC %s linkstate is up",
                  uplink.c_str());
  for (Side *side : {&gState.pg, &gState.dv}) {
    RemoveUplink(&side->noConnectivity, uplink);
    RemoveUplink(&side->noRedundancy, uplink);
  }
  if (NoConnectivityLoss()) {
    for (const Side *side : {&gState.pg, &gState.dv})
      PostRestore(*side, TextsOf(*side).connectivityRestored, "", "", uplink);
  }
  if (NoRedundancyLoss()) {
    for (const Side *side : {&gState.pg, &gState.dv})
      PostRestore(*side, TextsOf(*side).redundancyRestored, "", "", uplink);
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
      gState.pg.down.erase(uplink);
    } else if (Has(uplink, NET_MARK_DV_DOWN)) {
      gState.dv.down.erase(uplink);
    }
    if (Has(uplink, NET_MARK_PG_UP)) {
      gState.pg.up.erase(uplink);
    } else if (Has(uplink, NET_MARK_DV_UP)) {
      gState.dv.up.erase(uplink);
    }
    gState.marks[uplink] = 0;
    Flare_PostProblem(
        "@&!*@*@(tarn.problem.net.pnic.watchdog.reset)Uplink %s has recovered from a transient "
        "failure due to watchdog timeout",
        uplink.c_str());
  } else if (down && !up) {
    EvaluateDown(Has(uplink, NET_MARK_PG_DOWN) ? gState.pg : gState.dv, uplink);
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
    case NET_MARK_DV_DOWN:
      if (!deferred) EvaluateDown(mark == NET_MARK_PG_DOWN ? gState.pg : gState.dv, uplink);
      break;
    case NET_MARK_PG_UP:
    case NET_MARK_DV_UP:
      if (!deferred) EvaluateUp(mark == NET_MARK_PG_UP ? gState.pg : gState.dv, uplink);
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
  gState.marks[uplink] |= mark;
  uint64_t deadline = now + delaySeconds * kNanosPerSecond;
  if (gState.queue.empty() || gState.queue.front().deadline > deadline)
    Timer_Set(gTimer, TIMER_ONESHOT, delaySeconds, nullptr);
  gState.queue.push_back(Entry{uplink, mark, deadline});
  std::push_heap(gState.queue.begin(), gState.queue.end(), LaterDeadline);
}

// Later transitions join the evaluation already queued.
void Add(Side &side, bool isDown, const std::string &uplink, Record record) {
  auto &table = isDown ? side.down : side.up;
  if (!HasRecords(table, uplink)) Schedule(2, uplink, isDown ? side.downMark : side.upMark);
  table[uplink].push_back(std::move(record));
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
  if (gState.queue.empty()) return;
  uint64_t now = static_cast<uint64_t>(Clock_Get().SteadyNanos());
  while (!gState.queue.empty()) {
    const Entry &first = gState.queue.front();
    // The timer counts whole seconds; what falls due within the coming
    // second is not worth another wake-up.
    if (first.deadline > now && first.deadline - now > kNanosPerSecond - 1) {
      Timer_Set(gTimer, TIMER_ONESHOT,
                static_cast<unsigned>((first.deadline - now) / kNanosPerSecond), nullptr);
      return;
    }
    std::pop_heap(gState.queue.begin(), gState.queue.end(), LaterDeadline);
    Entry due = std::move(gState.queue.back());
    gState.queue.pop_back();
    Evaluate(due.uplink, due.mark);
  }
}

void NetRedundancy_PgDown(const Wisp *wisp) {
  const char *uplink = nullptr, *portGroup = nullptr;
  int32_t count = 0, extra = 0;
  if (Wisp_GetArgs(wisp, 0, "%p %p %d %d", &uplink, &portGroup, &count, &extra) != 0 ||
      !Present({uplink, portGroup}))
    return;
  Add(gState.pg, true, uplink, Record{portGroup, extra, count});
}

void NetRedundancy_PgUp(const Wisp *wisp) {
  const char *uplink = nullptr, *portGroup = nullptr;
  int32_t count = 0;
  if (Wisp_GetArgs(wisp, 0, "%p %p %d", &uplink, &portGroup, &count) != 0 ||
      !Present({uplink, portGroup}))
    return;
  Add(gState.pg, false, uplink, Record{portGroup, 0, count});
}

void NetRedundancy_DvDown(const Wisp *wisp) {
  const char *uplink = nullptr, *part1 = nullptr, *part2 = nullptr;
  int32_t count = 0, extra = 0;
  if (Wisp_GetArgs(wisp, 0, "%p %p %p %d %d", &uplink, &part1, &part2, &count, &extra) != 0 ||
      !Present({uplink, part1, part2}))
    return;
  Add(gState.dv, true, uplink, Record{std::string(part1) + "/" + part2, extra, count});
}

void NetRedundancy_DvUp(const Wisp *wisp) {
  const char *uplink = nullptr, *part1 = nullptr, *part2 = nullptr;
  int32_t count = 0;
  if (Wisp_GetArgs(wisp, 0, "%p %p %p %d", &uplink, &part1, &part2, &count) != 0 ||
      !Present({uplink, part1, part2}))
    return;
  Add(gState.dv, false, uplink, Record{std::string(part1) + "/" + part2, 0, count});
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
  gState = State();
  NetFlapping_Reset();
}
