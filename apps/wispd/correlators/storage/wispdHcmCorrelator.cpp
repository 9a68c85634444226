// HCM correlator: the hardware-change monitor's disk insertions, removals
// and predicted failures, one flare each naming the disk.
#include "intake/wispdCorrelatorDef.h"

namespace {

const char *const kGroups[] = {"hcm", nullptr};

const FlareRow kRows[] = {
    WISPD_ROW("wisp.hcm.event.disk.insertion", "%p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.hcm.event.disk.insertion)A physical disk has been inserted (%s).",
              "0")
        .CheckId(),
    WISPD_ROW("wisp.hcm.event.disk.removal", "%p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.hcm.event.disk.removal)A physical disk has been removed (%s).",
              "0")
        .CheckId(),
    WISPD_ROW("wisp.hcm.event.disk.predictive.failure", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.hcm.event.disk.predictive.failure)A physical disk has a "
              "predictive failure (%s).",
              "0")
        .CheckId(),
};

}  // namespace

extern const CorrelatorDef kHcmCorrelator = {
    .name = "HCM",
    .groups = kGroups,
    WISPD_ROWS(kRows),
    .fallback = Correlator_IgnoreWisp,
};
