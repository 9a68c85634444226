// Page-retirement correlator: the kernel's page-retirement progress, with
// repeat limits on the two counting reports, retirement requests from the
// platform firmware, and a watch on machine checks injected into virtual
// machines that kills a machine whose guest keeps touching a poisoned page.

#include <stdarg.h>
#include <stdint.h>
#include <string.h>

#include <map>
#include <memory>
#include <string>

#include "base/wispdClock.h"
#include "base/wispdLog.h"
#include "correlators/wispdStorageLookup.h"
#include "intake/wispdCorrelatorDef.h"
#include "mantlectl/mantlectl.h"
#include "pellibs/sysinfo.h"

namespace {

const char *const kGroups[] = {"pageretire", nullptr};
const char kSource[] = "apps/wispd/wispdPageRetireCorrelator";

const char kSelectedId[] = "wisp.pageretire.selectedmpnthreshold.host.exceeded";
const char kNotRetiredId[] = "wisp.pageretire.selectedbutnotretired.high";
const char kPlatformId[] = "wisp.pageretire.platform.retire.request";
const char kInjectedId[] = "wisp.pageretire.mce.injected";

// The kernel's message formats the values are read by.
const char kSelectedMsg[] = "Number of MPNs selected for retirement is %lu";
const char kNotRetiredMsg[] = "Number of selected but not retired MPNs is high: %lu.";
const char kInjectedMsg[] = "Injected MCE for PPN %lx into virtual machine %d.";
// Its message is also the format its two texts are read by.
const FlareRow kPlatformRow =
    WISPD_ROW("wisp.pageretire.platform.retire.request", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.pageretire.platform.retire.request)Memory page retirement "
              "requested by platform firmware. FRU ID: %s. Refer to System Hardware Log: %s",
              "01");

enum : int64_t { kInjectionWindow = 60, kKillInjections = 50, kKillSpread = 2 };

struct World {
  bool killed = false;
  // Injections by guest page number: the wall-clock second of each.
  std::multimap<uint64_t, int64_t> injections;
};

struct State {
  // The kernel's selection threshold and the reporting step in percent of it.
  uint64_t hostThreshold = 0;
  uint64_t thresholdInterval = 0;
  uint64_t lastReported = 0;
  bool notRetiredReported = false;
  std::map<int32_t, World> worlds;
};

State gState;

bool IsOwn(const Wisp *wisp, const char *id) {
  const char *got = nullptr;
  return Wisp_GetID(wisp, &got) == 0 && got != nullptr && Wisp_IsID(got, id);
}

// The current value of an integer option; throws the library's exception.
uint64_t ReadOption(const char *group, const char *name) {
  MantleCtl::Util::Sysinfo option(Sysi_NODE_config_intOpts);
  option.AddInstancePath(group);
  option.AddInstancePath(name);
  uint8_t reply[SYSI_INTOPT_REPLY_SIZE];
  option.Get(reply, sizeof reply);
  uint64_t value;
  memcpy(&value, reply + 24, sizeof value);
  return value;
}

void OnSelected(const Wisp *wisp) {
  if (!IsOwn(wisp, kSelectedId)) return;
  unsigned long n;
  if (Storage_ReadMessageArgs(wisp, kSelectedMsg, &n) != 0) return;
  if (n <= gState.hostThreshold) return;
  uint64_t step = gState.hostThreshold * gState.thresholdInterval / 100;
  if (n - step < gState.lastReported) return;
  Flare_PostProblem(
      "@&!*@*@(tarn.problem.pageretire.selectedmpnthreshold.host.exceeded)Number of host physical "
      "memory pages that have been selected for retirement (%lu) exceeds threshold (%lu).",
      n, static_cast<unsigned long>(gState.hostThreshold));
  gState.lastReported = n;
}

void OnNotRetired(const Wisp *wisp) {
  if (!IsOwn(wisp, kNotRetiredId)) return;
  unsigned long n;
  if (Storage_ReadMessageArgs(wisp, kNotRetiredMsg, &n) != 0) return;
  if (gState.notRetiredReported) return;
  Flare_PostProblem(
      "@&!*@*@(tarn.problem.pageretire.selectedbutnotretired.high)Number of host physical memory "
      "pages that have been selected for retirement but could not yet be retired is high: %lu",
      n);
  gState.notRetiredReported = true;
}

void OnPlatformRequest(const Wisp *wisp) {
  if (!IsOwn(wisp, kPlatformId)) return;
  uint64_t enabled = 0;
  try {
    enabled = ReadOption("PageRetire", "ApeiLoggingEnabled");
  } catch (const HostCtl::Lib::HostCtlException &) {
    Panic("NOT_REACHED %s:%d\n", kSource, 127);
  }
  if (enabled == 0) return;
  RowValues values = {};
  if (Storage_ReadMessageArgs(wisp, rowcheck::Message(kPlatformRow.flare), &values.str[0],
                              &values.str[1]) != 0)
    return;
  values.count = 2;
  kPlatformRow.post(kPlatformRow, values);
}

// Kills the world's machine once; a failed lookup is tried again on the next
// observation, a failed kill is not.
void Kill(int32_t worldId, World *world, int k, uint64_t page) {
  try {
    MantleCtl::Resource::ResourceInfoImpl resources;
    std::unique_ptr<MantleCtl::Resource::VirtualMachine> vm(
        resources.GetVirtualMachineByWorldId(worldId));
    if (vm == nullptr) return;
    std::string name = vm->GetName();
    Flare_PostProblem(
        "@&!*@*@(tarn.problem.pageretire.mce.injected.2)Killing %s because at least %d "
        "uncorrectable memory error machine check exceptions were injected for guest physical "
        "page %#lx but the virtual machine's operating system kept using the page.",
        name.c_str(), k, static_cast<unsigned long>(page));
    world->killed = true;
    vm->Kill(0);
  } catch (const HostCtl::Lib::HostCtlException &) {
  }
}

void OnInjected(const Wisp *wisp) {
  int64_t now = Clock_WallSeconds();
  for (auto w = gState.worlds.begin(); w != gState.worlds.end();) {
    auto &inj = w->second.injections;
    for (auto i = inj.begin(); i != inj.end();)
      i = i->second + kInjectionWindow < now ? inj.erase(i) : std::next(i);
    w = inj.empty() ? gState.worlds.erase(w) : std::next(w);
  }
  if (IsOwn(wisp, kInjectedId)) {
    unsigned long page;
    int worldId;
    // An unreadable report ends the handler before the scan: no lookup or
    // kill is ever triggered by a malformed report.
    if (Storage_ReadMessageArgs(wisp, kInjectedMsg, &page, &worldId) != 0) return;
    gState.worlds[worldId].injections.emplace(page, now);
  }
  for (auto &[worldId, world] : gState.worlds) {
    const auto &inj = world.injections;
    for (auto group = inj.begin(); group != inj.end();) {
      auto end = inj.upper_bound(group->first);
      int k = 0;
      int64_t earliest = group->second, latest = group->second;
      for (auto i = group; i != end; ++i) {
        ++k;
        earliest = i->second < earliest ? i->second : earliest;
        latest = i->second > latest ? i->second : latest;
        if (k >= 2 && k >= kKillInjections && !world.killed && latest - earliest >= kKillSpread)
          Kill(worldId, &world, k, group->first);
      }
      group = end;
    }
  }
}

void ReadIdOnly(const Wisp *wisp) {
  const char *id = nullptr;
  Wisp_GetID(wisp, &id);
}

const HandlerRow kHandlers[] = {
    {kSelectedId, OnSelected},
    {kNotRetiredId, OnNotRetired},
    {kPlatformId, OnPlatformRequest},
    {kInjectedId, OnInjected},
};

// Reads the thresholds, fixed from registration on; a host without them
// stops the daemon when mustRead.
void ReadThresholds(bool mustRead) {
  try {
    MantleCtl::Util::Sysinfo threshold(Sysi_NODE_system_pageRetire_threshold);
    threshold.Get(&gState.hostThreshold, sizeof gState.hostThreshold);
  } catch (const HostCtl::Lib::HostCtlException &) {
    if (mustRead) Panic("NOT_REACHED %s:%d\n", kSource, 179);
  }
  try {
    gState.thresholdInterval = ReadOption("PageRetire", "ThresholdInterval");
  } catch (const HostCtl::Lib::HostCtlException &) {
    if (mustRead) Panic("NOT_REACHED %s:%d\n", kSource, 190);
  }
}

void Reset() {
  gState = State();
  ReadThresholds(false);
}

bool Start() {
  ReadThresholds(true);
  return true;
}

}  // namespace

extern const CorrelatorDef kPageRetireCorrelator = {
    .name = "pageretire",
    .groups = kGroups,
    WISPD_HANDLERS(kHandlers),
    .fallback = ReadIdOnly,
    .reset = Reset,
    .start = Start,
};
