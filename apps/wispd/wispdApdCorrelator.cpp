// All-paths-down correlator: forwards the start, time-out and exit of the
// all-paths-down state of a device.
#include "wispdCorrelators.h"
#include "wispdFlareTable.h"

namespace {

const FlareRow kRows[] = {
    {"wisp.storage.apd.start", "%p", FLARE_PROBLEM,
     "@&!*@*@(tarn.problem.storage.apd.start)Device or filesystem with identifier [%s] has "
     "entered the All Paths Down state.",
     "0"},
    {"wisp.storage.apd.exit", "%p", FLARE_CLEAR,
     "@&!*@*@(tarn.clear.storage.apd.exit)Device or filesystem with identifier [%s] has exited "
     "the All Paths Down state.",
     "0"},
    {"wisp.storage.apd.timeout", "%p %d", FLARE_PROBLEM,
     "@&!*@*@(tarn.problem.storage.apd.timeout)Device or filesystem with identifier [%s] has "
     "entered the All Paths Down Timeout state after being in the All Paths Down state for %d "
     "seconds. I/Os will now be fast failed.",
     "01"},
};

void Handle(const Wisp *wisp) {
  FlareTable_Handle(kRows, sizeof kRows / sizeof kRows[0], wisp);
}

}  // namespace

void ApdCorrelator_Main(void) {
  WispHandlerTable table;
  FlareTable_Register(kRows, sizeof kRows / sizeof kRows[0], Handle, &table);
  Correlator_Run("APD", "storage.apd", Correlator_ReportUnhandled, table);
}
