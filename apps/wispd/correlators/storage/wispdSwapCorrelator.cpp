// Swap correlator: the system swap file lost with its datastore. After a
// removal system swap is reconfigured; what cannot be fixed is reported.
#include "base/wispdLog.h"
#include "correlators/wispdStorageLookup.h"
#include "intake/wispdCorrelatorDef.h"
#include "mantlectl/mantlectl.h"

namespace {

const char *const kGroups[] = {"swap", nullptr};

void SwapRemoved(const Wisp *wisp) {
  const char *path = nullptr;
  // The kernel's message; only its conversions are used, to read the path.
  if (Storage_ReadMessageArgs(wisp,
                              "System swap at path %s was affected by the Permanent Device Loss "
                              "of its datastore and was removed.",
                              &path) != 0 ||
      path == nullptr)
    return;
  try {
    MantleCtl::System::SwapInfoImpl swap;
    swap.ReconfigureSysSwap(false, false);
  } catch (const HostCtl::Lib::HostCtlException &e) {
    std::string datastore = Storage_VolumeName(path);
    Flare_PostProblem(
        "@&!*@*@(tarn.problem.swap.systemSwap.isPDL.removed.reconfig.failure.2)System swap on %s "
        "was affected by PDL. It was removed but the subsequent reconfiguration failed.",
        datastore.c_str());
    Log("%s", e.GetDetailedMessage().c_str());
    return;
  }
  Log("System swap at path %s was affected by the PDL of its datastore and was removed. System "
      "swap has been reconfigured.",
      path);
}

void SwapNotRemovable(const Wisp *wisp) {
  const char *path = nullptr;
  if (Storage_ReadMessageArgs(wisp,
                              "System swap at path %s is affected by the Permanent Device Loss "
                              "of its datastore but cannot be removed.",
                              &path) != 0 ||
      path == nullptr)
    return;
  std::string datastore = Storage_VolumeName(path);
  Flare_PostProblem(
      "@&!*@*@(tarn.problem.swap.systemSwap.isPDL.cannot.remove.2)System swap on %s is affected "
      "by PDL but cannot be removed.",
      datastore.c_str());
}

const HandlerRow kHandlers[] = {
    {"wisp.swap.systemSwap.isPDL.removed", SwapRemoved},
    {"wisp.swap.systemSwap.isPDL.cannot.remove", SwapNotRemovable},
};

}  // namespace

extern const CorrelatorDef kSwapCorrelator = {
    .name = "SWAP",
    .groups = kGroups,
    WISPD_HANDLERS(kHandlers),
    .fallback = Correlator_IgnoreWisp,
};
