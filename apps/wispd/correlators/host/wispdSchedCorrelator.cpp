// Scheduler correlator: placement and cache-QoS requests the scheduler could
// not honour, each reported against the virtual machine's name.

#include "intake/wispdCorrelatorDef.h"

namespace {

const char *const kGroups[] = {"sched", nullptr};
const char kFailLog[] = "Failed to arg: %d\n";

const FlareRow kRows[] = {
    WISPD_ROW("wisp.sched.qos.cat.noresource", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.sched.qos.cat.noresource)Unable to support L3 cache allocation "
              "for virtual machine %s. Out of resources.",
              "0")
        .FailLog(kFailLog),
    WISPD_ROW("wisp.sched.qos.cat.notsupported", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.sched.qos.cat.notsupported)Unable to support L3 cache "
              "allocation for virtual machine %s. No processor capabilities.",
              "0")
        .FailLog(kFailLog),
    WISPD_ROW("wisp.sched.qos.cmt.noresource", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.sched.qos.cmt.noresource)Unable to support L3 cache monitoring "
              "for virtual machine %s. Out of resources.",
              "0")
        .FailLog(kFailLog),
    WISPD_ROW("wisp.sched.qos.cmt.notsupported", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.sched.qos.cmt.notsupported)Unable to support L3 cache "
              "monitoring for virtual machine %s. No processor capabilities.",
              "0")
        .FailLog(kFailLog),
    WISPD_ROW("wisp.sched.latency.abort", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.sched.latency.abort)Unable to apply latency-sensitivity "
              "setting to virtual machine %s. No valid placement on the host.",
              "0")
        .FailLog(kFailLog),
};

}  // namespace

extern const CorrelatorDef kSchedCorrelator = {
    .name = "sched",
    .groups = kGroups,
    WISPD_ROWS(kRows),
    .fallback = Correlator_LogWisp,
};
