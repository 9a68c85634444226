// Clock correlator: the kernel's time-keeping reports, each identifier
// limited to one flare per report interval; a loss of synchronisation lets
// the next "synchronized" report through at once.

#include <stdint.h>

#include <map>
#include <string>

#include "base/wispdClock.h"
#include "base/wispdLog.h"
#include "intake/wispdCorrelatorDef.h"
#include "pellibs/sysinfo.h"

namespace {

const char *const kGroups[] = {"clock", nullptr};
const char kSyncId[] = "wisp.clock.correction.adjtime.sync";
const char kIntervalId[] = "wisp.clock.parameter.set.wispReportInterval";
constexpr int32_t kDefaultInterval = 3600;

const FlareRow kDeltaRows[] = {
    WISPD_ROW("wisp.clock.correction.delta.warning", "%d %d %d %d %d %d", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.clock.correction.delta.warning)system clock stepped to "
              "%d.%09d, but delta %d > %d seconds, %d/%d large corrections",
              "012345"),
    WISPD_ROW("wisp.clock.correction.delta.failed", "%d %d %d %d %d", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.clock.correction.delta.failed)system clock step to %d.%09d "
              "failed, delta %d > %d seconds, number of large corrections > %d",
              "01234"),
    WISPD_ROW("wisp.clock.correction.delta.allowed", "%d %d %d %d", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.clock.correction.delta.allowed)system clock stepped to "
              "%d.%09d, but delta %d > %d seconds",
              "0123"),
};

const FlareRow kParameterRows[] = {
    WISPD_ROW("wisp.clock.state.reset", "", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.clock.state.reset)resetting system clock state", ""),
    WISPD_ROW("wisp.clock.parameter.set.maxNegPhaseCorrection", "%d", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.clock.parameter.set.maxNegPhaseCorrection)setting system "
              "clock parameter maxNegPhaseCorrection to %d",
              "0"),
    WISPD_ROW("wisp.clock.parameter.set.maxPosPhaseCorrection", "%d", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.clock.parameter.set.maxPosPhaseCorrection)setting system "
              "clock parameter maxPosPhaseCorrection to %d",
              "0"),
    WISPD_ROW("wisp.clock.parameter.set.numLargeCorrections", "%d", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.clock.parameter.set.numLargeCorrections)setting system clock "
              "parameter numLargeCorrections to %d",
              "0"),
    WISPD_ROW("wisp.clock.parameter.set.maxLargeCorrections", "%d", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.clock.parameter.set.maxLargeCorrections)setting system clock "
              "parameter maxLargeCorrections to %d",
              "0"),
    WISPD_ROW("wisp.clock.parameter.set.wispReportInterval", "%d", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.clock.parameter.set.wispReportInterval)setting system clock "
              "WISP report interval to %d",
              "0"),
};

// Every row but the first reports a loss of synchronisation.
const FlareRow kSyncRows[] = {
    WISPD_ROW("wisp.clock.correction.adjtime.sync", "", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.clock.correction.adjtime.sync)system clock synchronized to "
              "upstream time servers",
              ""),
    WISPD_ROW("wisp.clock.correction.changed", "%p %d %d", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.clock.correction.changed)%s changed system clock to %d.%09d, "
              "lost synchronization to upstream time servers",
              "012"),
    WISPD_ROW("wisp.clock.correction.step.unsync", "%d %d", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.clock.correction.step.unsync)system clock stepped to %d.%09d, "
              "lost sync to upstream time servers",
              "01"),
    WISPD_ROW("wisp.clock.correction.adjtime.unsync", "", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.clock.correction.adjtime.unsync)system clock lost "
              "synchronization to upstream time servers",
              ""),
    WISPD_ROW("wisp.clock.correction.adjtime.lostsync", "", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.clock.correction.adjtime.lostsync)system clock apparently no "
              "longer synchronized to upstream time servers",
              ""),
};

struct State {
  int32_t interval = kDefaultInterval;
  // Last report per identifier, wall-clock seconds, one table per family.
  std::map<std::string, int64_t> delta, parameter, sync;
};

State gState;

enum Family { DELTA, PARAMETER, SYNC };

template <size_t N>
void Limited(const Wisp *wisp, const FlareRow (&rows)[N], std::map<std::string, int64_t> &last,
             Family family) {
  const char *id = nullptr;
  if (Wisp_GetID(wisp, &id) != 0 || id == nullptr) return;
  int64_t &at = last[id];
  int64_t now = Clock_WallSeconds();
  if (now - at < gState.interval) return;
  for (const FlareRow &row : rows) {
    if (!Wisp_IsID(id, row.wispId)) continue;
    RowValues values = {};
    if (FlareRow_Read(row, wisp, &values) != 0) return;
    if (family == PARAMETER && Wisp_IsID(id, kIntervalId))
      gState.interval = static_cast<int32_t>(values.bits[0]);
    row.post(row, values);
    if (family == SYNC && &row != &rows[0]) gState.sync[kSyncId] = 0;
    break;
  }
  at = now;
}

void OnDelta(const Wisp *wisp) {
  Limited(wisp, kDeltaRows, gState.delta, DELTA);
}
void OnParameter(const Wisp *wisp) {
  Limited(wisp, kParameterRows, gState.parameter, PARAMETER);
}
void OnSync(const Wisp *wisp) {
  Limited(wisp, kSyncRows, gState.sync, SYNC);
}

void NoCorrelator(const Wisp *wisp) {
  const char *id = nullptr;
  if (Wisp_GetID(wisp, &id) != 0 || id == nullptr) {
    Log("FAIL: Received NULL wispID\n");
    return;
  }
  Log("No system clock correlator for %s\n", id);
}

const HandlerRow kHandlers[] = {
    {"wisp.clock.correction.delta.warning", OnDelta},
    {"wisp.clock.correction.delta.failed", OnDelta},
    {"wisp.clock.correction.delta.allowed", OnDelta},
    {"wisp.clock.state.reset", OnParameter},
    {"wisp.clock.parameter.set.maxNegPhaseCorrection", OnParameter},
    {"wisp.clock.parameter.set.maxPosPhaseCorrection", OnParameter},
    {"wisp.clock.parameter.set.numLargeCorrections", OnParameter},
    {"wisp.clock.parameter.set.maxLargeCorrections", OnParameter},
    {kIntervalId, OnParameter},
    {"wisp.clock.correction.changed", OnSync},
    {"wisp.clock.correction.step.unsync", OnSync},
    {kSyncId, OnSync},
    {"wisp.clock.correction.adjtime.unsync", OnSync},
    {"wisp.clock.correction.adjtime.lostsync", OnSync},
};

// The interval is read from the kernel at registration; a failed read keeps
// the default.
void Reset() {
  gState = State();
  int32_t interval = kDefaultInterval;
  if (Sysi_Get(Sysi_NODE_system_ntpclock_wispReportInterval, nullptr, &interval, sizeof interval) ==
      MANTLE_OK)
    gState.interval = interval;
}

}  // namespace

extern const CorrelatorDef kClockCorrelator = {
    .name = "Clock",
    .groups = kGroups,
    WISPD_HANDLERS(kHandlers),
    .fallback = NoCorrelator,
    .reset = Reset,
};
