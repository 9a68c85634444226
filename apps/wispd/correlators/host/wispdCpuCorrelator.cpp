// CPU correlator: processor observations. Corrected machine-check logs take
// a logical CPU offline when its core keeps reporting core-local corrected
// errors (Intel only) and ask the kernel to retire a memory page whose
// corrected errors pass a threshold within one counting period.

#include <stdint.h>
#include <string.h>

#include <map>
#include <mutex>

#include "base/wispdClock.h"
#include "base/wispdTimer.h"
#include "intake/wispdCorrelatorDef.h"
#include "mantlectl/mantlectl.h"
#include "pellibs/sysinfo.h"

namespace {

const char *const kGroups[] = {"cpu", nullptr};

const FlareRow kRows[] = {
    WISPD_ROW("wisp.cpu.smp.ht.partner.missing", "%u %u", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cpu.smp.ht.partner.missing)Disabling HyperThreading due to "
              "invalid configuration: HT partner %d is missing from PCPU %d.",
              "01")
        .CheckId(),
    WISPD_ROW("wisp.cpu.smp.ht.invalid", "%u %u", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cpu.smp.ht.invalid)Disabling HyperThreading due to invalid "
              "configuration: Number of threads: %d, Number of PCPUs: %d.",
              "01")
        .CheckId(),
    WISPD_ROW("wisp.cpu.smp.ht.numpcpus.max", "%u %u", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cpu.smp.ht.numpcpus.max)Found %d PCPUs, but only using %d of "
              "them due to specified limit.",
              "01"),
    WISPD_ROW("wisp.cpu.intel.ioapic.listing.error", "", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cpu.intel.ioapic.listing.error)Not all IO-APICs are listed in "
              "the DMAR. Not enabling interrupt remapping on this platform. ",
              ""),
    WISPD_ROW("wisp.cpu.amd.mce.dram.disabled", "", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cpu.amd.mce.dram.disabled)DRAM ECC not enabled. Please enable "
              "it in BIOS.",
              ""),
    WISPD_ROW("wisp.cpu.mce.invalid", "", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cpu.mce.invalid)MCE monitoring will be disabled as an "
              "unsupported CPU was detected. Please consult the Tarn HCL for information on "
              "supported hardware.",
              ""),
};

enum : uint32_t {
  kRingSlots = 64,
  kOfflineWindow = 86400,
  kRefreshSeconds = 60,
  kMaxPageCount = 256,
  kCpuInfoSize = 40,
  kCpuListSize = 120,
  kVendorOffset = 24,
};
constexpr uint64_t kStatusOverflow = 1ull << 62;
constexpr uint64_t kStatusAddressValid = 1ull << 58;

struct CoreRecord {
  uint64_t ring[kRingSlots] = {};
  uint32_t next = 0;
  bool offlined = false;
};

struct State {
  std::map<uint64_t, uint8_t> pageCounts;
  std::map<uint64_t, uint32_t> dispositions;
  std::map<uint64_t, CoreRecord> cores;
  uint8_t pageThreshold = 2;
  uint32_t period = 30;
};

State gState;
// The option refresh and the count reset run on the timer thread: they and
// the log handler's use of the counts and the threshold take this lock.
std::mutex gLock;
// Created once per process by start, so kept apart from the state.
int gRefreshTimer = -1;
int gCountTimer = -1;

bool ReadOption(const char *group, const char *name, int64_t *value) {
  Sysi_ParamList *instance = Sysi_ParamListCreate();
  MANTLE_ReturnStatus status = MANTLE_NO_MEMORY;
  uint8_t reply[SYSI_INTOPT_REPLY_SIZE];
  if (instance != nullptr) {
    Sysi_ParamListAddString(instance, group);
    Sysi_ParamListAddString(instance, name);
    status = Sysi_Get(Sysi_NODE_config_intOpts, instance, reply, sizeof reply);
  }
  Sysi_ParamListDestroy(instance);
  if (status != MANTLE_OK) return false;
  memcpy(value, reply + 24, sizeof *value);
  return true;
}

void RefreshOptions() {
  std::lock_guard<std::mutex> lock(gLock);
  int64_t value;
  if (ReadOption("PageRetire", "PageErrorCorrThreshold", &value))
    gState.pageThreshold = static_cast<uint8_t>(value & 0xff);
  if (ReadOption("PageRetire", "PageErrorCorrPeriod", &value) &&
      static_cast<uint32_t>(value) != gState.period) {
    gState.period = static_cast<uint32_t>(value);
    if (gCountTimer != -1) Timer_Set(gCountTimer, TIMER_PERIODIC, gState.period, nullptr);
  }
}

void ResetCounts() {
  std::lock_guard<std::mutex> lock(gLock);
  gState.pageCounts.clear();
}

uint64_t Divide(uint64_t a, uint64_t b) {
  return b == 0 ? 0 : a / b;
}

// Core-local errors of cache level 0 or 1: a cache-hierarchy, generic
// cache-hierarchy or TLB compound error code; bit 12 is not looked at.
bool CoreLocal(uint64_t status) {
  uint32_t code = static_cast<uint32_t>(status & 0xffff);
  bool cache = (code & 0x100) != 0 && (code & 0xee00) == 0;
  bool generic = (code & 0xc) == 0xc && (code & 0xeff0) == 0;
  bool tlb = (code & 0x10) != 0 && (code & 0xefe0) == 0;
  return (cache || generic || tlb) && (code & 0x2) == 0;
}

bool IsIntel() {
  try {
    MantleCtl::Util::Sysinfo list(Sysi_NODE_hardware_cpu_cpuList);
    list.SetInstance(int64_t{0});
    char entry[kCpuListSize];
    list.Get(entry, sizeof entry);
    entry[kCpuListSize - 1] = '\0';
    return strcmp(entry + kVendorOffset, "GenuineIntel") == 0;
  } catch (const HostCtl::Lib::HostCtlException &) {
    return false;
  }
}

void OfflineStep(uint64_t status, uint64_t cpu, uint32_t countA, uint32_t countB) {
  CoreRecord &core = gState.cores[Divide(cpu, Divide(countB, countA))];
  if (!CoreLocal(status) || core.offlined) return;
  int64_t nanos = Clock_Get().SteadyNanos();
  if (nanos < 0) return;
  uint64_t now = static_cast<uint64_t>(nanos / 1000000000);
  int64_t threshold;
  if (!ReadOption("Cpu", "CPUOfflineThreshold", &threshold) || threshold <= 0) return;
  // The ring remembers 64 logs; a larger threshold could never be met.
  uint32_t needed = threshold > kRingSlots ? kRingSlots : static_cast<uint32_t>(threshold);
  int writes = (status & kStatusOverflow) != 0 ? 2 : 1;
  for (int i = 0; i < writes; ++i) {
    core.ring[core.next] = now;
    core.next = (core.next + 1) % kRingSlots;
  }
  uint64_t then = core.ring[(core.next + kRingSlots - needed) % kRingSlots];
  if (then == 0 || now - then >= kOfflineWindow) return;
  try {
    MantleCtl::Util::Sysinfo offline(Sysi_NODE_sched_pcpus_offline);
    offline.SetInstance(cpu);
    offline.Set();
    core.offlined = true;
  } catch (const HostCtl::Lib::HostCtlException &) {
    // Left clear: a later log tries again.
  }
}

void PageStep(uint64_t address, uint64_t count) {
  uint64_t page = address >> 12;
  {
    std::lock_guard<std::mutex> lock(gLock);
    uint8_t &n = gState.pageCounts[page];
    if (count < kMaxPageCount - n) n = static_cast<uint8_t>(n + count);
    if (n <= gState.pageThreshold) return;
  }
  uint32_t &disposition = gState.dispositions[page];
  if (page == 0 && disposition == 0) {
    // The kernel never retires page 0: tell the administrator once.
    Flare_PostProblem(
        "@&!*@*@(tarn.problem.cpu.page.correctederrors.high)High number of corrected errors on "
        "page number %#lx",
        static_cast<unsigned long>(page));
    disposition = 1;
    return;
  }
  if (disposition != 0) {
    ++disposition;
    return;
  }
  try {
    MantleCtl::Util::Sysinfo query(Sysi_NODE_system_pageRetire_MPNStatus);
    query.AddInput(page);
    uint8_t reply[4] = {};
    query.Set(reply, sizeof reply);
    uint16_t status;
    memcpy(&status, reply, sizeof status);
    if (status != 0) {
      disposition = 1;
      return;
    }
  } catch (const HostCtl::Lib::HostCtlException &) {
    disposition = 1;
    return;
  }
  try {
    MantleCtl::Util::Sysinfo retire(Sysi_NODE_system_pageRetire_retireMPNs);
    retire.AddInput(page);
    retire.AddInput(int64_t{1});
    retire.AddInput(std::string("NiceRetire"));
    retire.Set();
  } catch (const HostCtl::Lib::HostCtlException &) {
    // The next qualifying log asks again.
  }
}

void OnCorrectedLog(const Wisp *wisp) {
  unsigned long a0, status, a2, a3, cpu, address, a6, count;
  if (Wisp_GetArgs(wisp, 0, "%lu %lu %lu %lu %lu %lu %lu %lu", &a0, &status, &a2, &a3, &cpu,
                   &address, &a6, &count) != 0)
    return;
  uint8_t info[kCpuInfoSize] = {};
  uint32_t countA = 0, countB = 0;
  bool haveInfo = Sysi_Get(Sysi_NODE_hardware_cpu_cpuInfo, nullptr, info, sizeof info) == MANTLE_OK;
  if (haveInfo) {
    memcpy(&countA, info + 24, sizeof countA);
    memcpy(&countB, info + 28, sizeof countB);
  }
  uint8_t enabled = 0;
  if (Sysi_Get(Sysi_NODE_sched_offline_enabled, nullptr, &enabled, sizeof enabled) != MANTLE_OK)
    enabled = 0;
  if (haveInfo && enabled != 0 && IsIntel()) OfflineStep(status, cpu, countA, countB);
  if ((status & kStatusAddressValid) != 0) PageStep(address, count);
}

const HandlerRow kHandlers[] = {
    {"wisp.cpu.mce.log4", OnCorrectedLog},
    {"wisp.cpu.mcax.log", Correlator_IgnoreWisp},
    {"wisp.cpu.nmi.ipi.mantlecs", Correlator_IgnoreWisp},
    {"wisp.cpu.nmi.ipi.unknowncs", Correlator_IgnoreWisp},
    {"wisp.cpu.nmi.ipi.savebt", Correlator_IgnoreWisp},
};

// Back to the state at registration: timers re-armed from now, options read.
void Reset() {
  {
    std::lock_guard<std::mutex> lock(gLock);
    gState = State();
    if (gRefreshTimer != -1) Timer_Set(gRefreshTimer, TIMER_PERIODIC, kRefreshSeconds, nullptr);
    if (gCountTimer != -1) Timer_Set(gCountTimer, TIMER_PERIODIC, gState.period, nullptr);
  }
  RefreshOptions();
}

bool Start() {
  int refresh = Timer_Create(RefreshOptions);
  gRefreshTimer = refresh;
  if (refresh != -1) {
    Timer_Set(refresh, TIMER_PERIODIC, kRefreshSeconds, nullptr);
    int counts = Timer_Create(ResetCounts);
    {
      std::lock_guard<std::mutex> lock(gLock);
      gCountTimer = counts;
    }
    if (counts != -1) Timer_Set(counts, TIMER_PERIODIC, gState.period, nullptr);
  }
  RefreshOptions();
  return true;
}

}  // namespace

extern const CorrelatorDef kCpuCorrelator = {
    .name = "cpu",
    .groups = kGroups,
    WISPD_ROWS(kRows),
    WISPD_HANDLERS(kHandlers),
    .fallback = Correlator_IgnoreWisp,
    .reset = Reset,
    .start = Start,
};
