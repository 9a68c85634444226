// VM correlator: virtual machines the kernel had to power off on its own,
// re-worded as problems. Arguments are read by the kernel's own message.
#include <string.h>

#include "correlators/wispdStorageLookup.h"
#include "intake/wispdCorrelatorDef.h"

namespace {

const char *const kGroups[] = {"vm", nullptr};

// The datastore of the swap file read as argument 1.
std::string DatastoreOfSwapFile(const RowValues &values) {
  return Storage_VolumeName(values.count > 1 ? values.str[1] : nullptr);
}

// Each row's read is what its kernel message derives; the handler reads by
// the derived format.
struct KillRow {
  const char *message;
  FlareRow row;
};

const KillRow kKillRows[] = {
    {"The virtual machine using the configuration file %s did not respond to %u swap actions in "
     "%lu seconds. To avoid system instability, the virtual machine has been powered off.",
     WISPD_ROW("wisp.vm.kill.unexpected.noSwapResponse", "%p %u %lu", FLARE_PROBLEM,
               "@&!*@*@(tarn.problem.vm.kill.unexpected.noSwapResponse.2)%s did not respond to %u "
               "swap actions in %lu seconds and is forcefully powered off to prevent system "
               "instability.",
               "012")},
    {"The virtual machine using the configuration file %s could not fault in a page for the "
     "virtual machine user world. The virtual machine has been powered off.",
     WISPD_ROW("wisp.vm.kill.unexpected.vmproc.fault.failure", "%p", FLARE_PROBLEM,
               "@&!*@*@(tarn.problem.vm.kill.unexpected.vmproc.fault.failure.2)%s could not fault "
               "in a page. The VM is terminated as further progress is impossible.",
               "0")},
    {"The virtual machine using the configuration file %s has been powered off to prevent system "
     "instability. See the kernel log file for more details.",
     WISPD_ROW("wisp.vm.kill.unexpected.vmtrack", "%p", FLARE_PROBLEM,
               "@&!*@*@(tarn.problem.vm.kill.unexpected.vmtrack.2)%s is allocating too many pages "
               "while system is critically low in free memory. It is forcefully terminated to "
               "prevent system instability.",
               "0")},
    {"The virtual machine using the configuration file %s contains the host physical page %#lx "
     "that was scheduled for immediate retirement. To avoid system instability, the virtual "
     "machine has been powered off.",
     WISPD_ROW("wisp.vm.kill.unexpected.forcefulPageRetire.64", "%p %lx", FLARE_PROBLEM,
               "@&!*@*@(tarn.problem.vm.kill.unexpected.forcefulPageRetire.64.2)%s contained the "
               "host physical page %#lx which was scheduled for immediate retirement. To avoid "
               "system instability the virtual machine is forcefully powered off.",
               "01")},
    {"The virtual machine using the configuration file %s could not fault in a page from the swap "
     "file at %s. The virtual machine has been powered off.",
     WISPD_ROW("wisp.vm.kill.unexpected.fault.failure", "%p %p", FLARE_PROBLEM,
               "@&!*@*@(tarn.problem.vm.kill.unexpected.fault.failure.2)%s could not fault in a "
               "guest physical page from the hypervisor level swap file on %s. The VM is "
               "terminated as further progress is impossible.",
               "0L")
         .Lookup(DatastoreOfSwapFile)},
};

void ReadByKernelMessage(const Wisp *wisp) {
  const char *id = nullptr;
  if (Wisp_GetID(wisp, &id) != 0 || id == nullptr) return;
  for (const KillRow &kill : kKillRows) {
    if (strcmp(kill.row.wispId, id) != 0) continue;
    char derived[1024];
    if (Storage_DeriveArgFormat(kill.message, derived, sizeof derived) != 0) return;
    FlareRow row = kill.row;
    row.read = derived;
    FlareRow_Handle(row, wisp);
    return;
  }
}

const HandlerRow kHandlers[] = {
    {"wisp.vm.kill.unexpected.noSwapResponse", ReadByKernelMessage},
    {"wisp.vm.kill.unexpected.vmproc.fault.failure", ReadByKernelMessage},
    {"wisp.vm.kill.unexpected.vmtrack", ReadByKernelMessage},
    {"wisp.vm.kill.unexpected.forcefulPageRetire.64", ReadByKernelMessage},
    {"wisp.vm.kill.unexpected.fault.failure", ReadByKernelMessage},
};

}  // namespace

extern const CorrelatorDef kVmCorrelator = {
    .name = "VM",
    .groups = kGroups,
    WISPD_HANDLERS(kHandlers),
    .fallback = Correlator_ReportUnhandled,
};
