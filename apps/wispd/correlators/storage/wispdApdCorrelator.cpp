// All-paths-down correlator: forwards the start, time-out and exit of the
// all-paths-down state of a device.
#include "intake/wispdCorrelatorDef.h"

namespace {

const char *const kGroups[] = {"storage.apd", nullptr};

const FlareRow kRows[] = {
    WISPD_ROW("wisp.storage.apd.start", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.storage.apd.start)Device or filesystem with identifier [%s] "
              "has entered the All Paths Down state.",
              "0"),
    WISPD_ROW("wisp.storage.apd.exit", "%p", FLARE_CLEAR,
              "@&!*@*@(tarn.clear.storage.apd.exit)Device or filesystem with identifier [%s] has "
              "exited the All Paths Down state.",
              "0"),
    WISPD_ROW("wisp.storage.apd.timeout", "%p %d", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.storage.apd.timeout)Device or filesystem with identifier [%s] "
              "has entered the All Paths Down Timeout state after being in the All Paths Down "
              "state for %d seconds. I/Os will now be fast failed.",
              "01"),
};

}  // namespace

extern const CorrelatorDef kApdCorrelator = {
    .name = "APD",
    .groups = kGroups,
    WISPD_ROWS(kRows),
    .fallback = Correlator_ReportUnhandled,
};
