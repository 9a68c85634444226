// Correlators whose handlers are not written yet: each still consumes its
// groups. A correlator's own source file replaces its line here.
#include "wispdCorrelatorSpec.h"

#define WISPD_PENDING(spec, name, ...)                                                       \
  namespace {                                                                                \
  const char *const spec##Groups[] = {__VA_ARGS__, nullptr};                                 \
  }                                                                                          \
  extern const CorrelatorSpec spec = {                                                       \
      name,    spec##Groups, nullptr, WISPD_NO_TABLE, WISPD_NO_TABLE, Correlator_IgnoreWisp, \
      nullptr, nullptr,      nullptr, nullptr};

WISPD_PENDING(kHardwareCorrelator, "Hardware", "hardware")
WISPD_PENDING(kCpuCorrelator, "cpu", "cpu")
WISPD_PENDING(kPageRetireCorrelator, "pageretire", "pageretire")
WISPD_PENDING(kClockCorrelator, "Clock", "clock")
WISPD_PENDING(kSchedCorrelator, "sched", "sched")
