// Virtual-SCSI correlator: the limits of virtual disks shared between the
// virtual machines of a cluster. A failed read is logged and still posts.
#include "base/wispdLog.h"
#include "intake/wispdCorrelatorDef.h"

namespace {

const char *const kGroups[] = {"vscsi", nullptr};

const FlareRow kRows[] = {
    WISPD_ROW("wisp.vscsi.shared.vdisk.add.failure.max.count", "%u", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.vscsi.shared.vdisk.add.failure.max.count)Failed to add shared "
              "virtual disk. Maximum number of shared vdisks supported per Tarn host are %u",
              "0")
        .FailLog("Failed to get args: %d")
        .PostOnFail(),
    WISPD_ROW("wisp.vscsi.shared.vdisk.no.free.slot.available", "%u", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.vscsi.shared.vdisk.no.free.slot.available)No Free slot "
              "available. Maximum number of VMs supported in MSCS cluster are %u",
              "0")
        .FailLog("Failed to get args: %d")
        .PostOnFail(),
};

// Each name is read on its own, so one missing name still leaves the other.
void HandlePowerOnFailed(const Wisp *wisp) {
  const char *vm1 = nullptr, *vm2 = nullptr;
  int rc = Wisp_GetStringArg(wisp, 0, &vm1);
  if (rc != 0) {
    vm1 = nullptr;
    Log("Failed to get VM-1 name: %d", rc);
  }
  rc = Wisp_GetStringArg(wisp, 1, &vm2);
  if (rc != 0) {
    vm2 = nullptr;
    Log("Failed to get VM-2 name: %d", rc);
  }
  Flare_PostProblem(
      "@&!*@*@(tarn.problem.vscsi.shared.vdisk.virtual.machine.power.on.failed)Two or more VMs "
      "(%s and %s) sharing same virtual disk are not allowed to be Powered-On on same host.",
      vm1, vm2);
}

const HandlerRow kHandlers[] = {
    {"wisp.vscsi.shared.vdisk.virtual.machine.power.on.failed", HandlePowerOnFailed},
};

}  // namespace

extern const CorrelatorDef kVscsiCorrelator = {
    .name = "vscsi",
    .groups = kGroups,
    WISPD_ROWS(kRows),
    WISPD_HANDLERS(kHandlers),
    .fallback = Correlator_IgnoreWisp,
};
