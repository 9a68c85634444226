// SCSI correlator: the kernel's storage-device and storage-path
// observations. Most map one to one onto a flare; path states, path
// additions and power-on resets go to path tracking.
#include <string.h>

#include "base/wispdLog.h"
#include "correlators/storage/wispdScsiPaths.h"
#include "correlators/wispdStorageLookup.h"
#include "intake/wispdCorrelatorDef.h"

namespace {

const char *const kGroups[] = {"scsi", nullptr};

const char kDeviceName[] = "Failed to get device name: %d\n";
const char kParams[] = "Failed to get params for correlation %s: %d\n";
const char kCorrelate[] = "Failed to correlate %s: %d\n";
const char kPathName[] = "Failed to get path name: %d\n";

// The datastores on the device read as argument 0.
std::string DatastoresOfDevice(const RowValues &values) {
  return Storage_DatastoresOrUnknown(values.count > 0 ? values.str[0] : nullptr);
}

const FlareRow kRows[] = {
    WISPD_ROW("wisp.scsi.device.thinprov.atquota", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.scsi.device.thinprov.atquota)Space utilization on "
              "thin-provisioned device %s exceeded configured threshold. Affected datastores (if "
              "any): %s.",
              "0L")
        .FailLog("Failed to get thin provisioned device name: %d\n")
        .Lookup(DatastoresOfDevice),
    WISPD_ROW("wisp.scsi.scsipath.badpath.unsafepe", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.scsi.scsipath.badpath.unsafepe)Sanity check failed for path "
              "%s. Could not safely determine if the path is to a Kvol PE. Path dropped.",
              "0")
        .CheckId()
        .FailLog(kPathName),
    WISPD_ROW("wisp.scsi.device.state.permanentloss.noopens", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.scsi.device.state.permanentloss.noopens)Permanently "
              "inaccessible device: %s has no more opens. It is now safe to unmount datastores "
              "(if any): %s and delete the device",
              "0L")
        .FailLog(kDeviceName)
        .Lookup(DatastoresOfDevice),
    WISPD_ROW("wisp.scsi.device.state.permanentloss", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.scsi.device.state.permanentloss)Device: %s has been removed "
              "or is permanently inaccessible. Affected datastores (if any): %s.",
              "0L")
        .FailLog(kDeviceName)
        .Lookup(DatastoresOfDevice),
    WISPD_ROW("wisp.scsi.device.state.permanentloss.withreservationheld", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.scsi.device.state.permanentloss.withreservationheld)Device: "
              "%s has been removed or is permanently inaccessible while holding a reservation. "
              "Affected datastores (if any): %s.",
              "0L")
        .FailLog(kDeviceName)
        .Lookup(DatastoresOfDevice),
    WISPD_ROW("wisp.scsi.device.state.permanentloss.pluggedback", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.scsi.device.state.permanentloss.pluggedback)Device: %s has "
              "been plugged back in after being marked permanently inaccessible. No data "
              "consistency guarantees.",
              "0")
        .FailLog(kDeviceName),
    WISPD_ROW("wisp.scsi.device.state.permanentloss.deviceonline", "%p", FLARE_CLEAR,
              "@&!*@*@(tarn.clear.scsi.device.state.permanentloss.deviceonline)Device: %s, that "
              "was permanently inaccessible, is now online. No data consistency guarantees.",
              "0")
        .FailLog(kDeviceName),
    WISPD_ROW("wisp.scsi.device.state.off", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.scsi.device.state.off)Device: %s  has been turned off "
              "administratively",
              "0")
        .FailLog(kDeviceName),
    WISPD_ROW("wisp.scsi.device.state.on", "%p", FLARE_CLEAR,
              "@&!*@*@(tarn.clear.scsi.device.state.on)Device: %s  has been turned on "
              "administratively",
              "0")
        .FailLog(kDeviceName),
    WISPD_ROW("wisp.scsi.device.io.qerr.change.config", "%d %p %d", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.scsi.device.io.qerr.change.config)QErr set to 0x%x for "
              "device %s. This may cause unexpected behavior. The system is not configured to "
              "change the Qerr setting of device. The Qerr value supported by system is 0x%x. "
              "Please check the SCSI ChangeQErrSetting configuration value for Tarn.",
              "012")
        .CheckId()
        .FailLog(kCorrelate),
    WISPD_ROW("wisp.scsi.device.io.qerr.changed", "%d %p %d", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.scsi.device.io.qerr.changed)QErr set to 0x%x for device %s. "
              "This may cause unexpected behavior. The device was originally configured to the "
              "supported QErr setting of 0x%x, but this has been changed and could not be reset.",
              "012")
        .CheckId()
        .FailLog(kCorrelate),
    WISPD_ROW("wisp.scsi.device.io.bad.plugin.type", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.scsi.device.io.bad.plugin.type)Bad Plugin type for device "
              "%s, plugin %s",
              "01")
        .CheckId()
        .FailLog(kCorrelate),
    WISPD_ROW("wisp.scsi.device.io.inquiry.failed", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.scsi.device.io.inquiry.failed)Failed to get standard inquiry "
              "for device %s from Plugin %s.",
              "01")
        .CheckId()
        .FailLog(kCorrelate),
    WISPD_ROW("wisp.scsi.device.is.pseudo.failed", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.scsi.device.is.pseudo.failed)Failed to verify if the device "
              "%s from plugin %s is a pseudo device",
              "01")
        .CheckId()
        .FailLog(kCorrelate),
    WISPD_ROW("wisp.scsi.device.is.ssd.failed", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.scsi.device.is.ssd.failed)Failed to verify if the device %s "
              "from plugin %s is a Solid State Disk device",
              "01")
        .CheckId()
        .FailLog(kCorrelate),
    WISPD_ROW("wisp.scsi.device.is.local.failed", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.scsi.device.is.local.failed)Failed to verify if the device %s "
              "from plugin %s is a local - not shared - device",
              "01")
        .CheckId()
        .FailLog(kCorrelate),
    WISPD_ROW("wisp.scsi.device.close.failed", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.scsi.device.close.failed)Failed to close the device %s "
              "properly, plugin %s",
              "01")
        .CheckId()
        .FailLog(kCorrelate),
    WISPD_ROW("wisp.scsi.device.filter.attach.failed", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.scsi.device.filter.attach.failed)Failed to attach filters to "
              "device '%s' during registration. Plugin load failed or the filter rules are "
              "incorrect.",
              "0")
        .CheckId()
        .FailLog(kParams),
    WISPD_ROW("wisp.scsi.device.detach.failed", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.scsi.device.detach.failed)Detach failed for device :%s. "
              "Exceeded the number of devices that can be detached, please cleanup stale detach "
              "entries.",
              "0")
        .CheckId()
        .FailLog(kParams),
    // Only a null id stops it; there is no id test to fail through the table.
    WISPD_ROW("wisp.scsi.unsupported.plugin.type", "%d", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.scsi.unsupported.plugin.type)Scsi Device Allocation not "
              "supported for plugin type %x",
              "0")
        .CheckId()
        .FailLog(kCorrelate),
    WISPD_ROW("wisp.scsi.apd.event.descriptor.alloc.failed", "", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.scsi.apd.event.descriptor.alloc.failed)No memory to allocate "
              "APD (All Paths Down) event subsystem",
              "")
        .CheckId(),
    WISPD_ROW("wisp.scsi.device.io.latency.high", "%p %lu %lu", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.scsi.device.io.latency.high)Device %s performance has "
              "deteriorated. I/O latency increased from average value of %ld microseconds to %ld "
              "microseconds.",
              "012")
        .CheckId()
        .FailLog(kCorrelate),
    WISPD_ROW("wisp.scsi.device.io.latency.improved", "%p %lu %lu", FLARE_CLEAR,
              "@&!*@*@(tarn.clear.scsi.device.io.latency.improved)Device %s performance has "
              "improved. I/O latency reduced from %ld microseconds to %ld microseconds.",
              "012")
        .CheckId()
        .FailLog(kCorrelate),
    WISPD_ROW("wisp.scsi.device.invalid.xcopy.request", "%p %d %d %d %p %d %d %d %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.scsi.device.invalid.xcopy.request)Invalid XCOPY request for "
              "device %s. Host %#x, Device %#x, Plugin %#x, %s sense, sense.key = %#x, sense.asc "
              "= %#x, sense.ascq = %#x: %s",
              "012345678")
        .CheckId()
        .FailLog(kParams),
    WISPD_ROW("wisp.scsi.device.too.many.io.error", "%p %hu ", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.scsi.device.too.many.io.error)Too many errors observed for "
              "device %s errPercentage %hu",
              "01")
        .CheckId()
        .FailLog(kParams),
};

// Rows read by hand: each argument has its own failed-read line.
struct OwnLogRow {
  FlareRow row;
  const char *logs[2];
};

const OwnLogRow kOwnLogRows[] = {
    {WISPD_ROW("wisp.scsi.device.limitreached", "%d %p", FLARE_PROBLEM,
               "@&!*@*@(tarn.problem.scsi.device.limitreached)The maximum number of supported "
               "devices of %d has been reached. A device from plugin %s could not be created.",
               "01"),
     {"Failed to get device limit reached device count: %d\n",
      "Failed to get device limit reached plugin name: %d\n"}},
    {WISPD_ROW("wisp.scsi.scsipath.limitreached", "%d %p", FLARE_PROBLEM,
               "@&!*@*@(tarn.problem.scsi.scsipath.limitreached)The maximum number of supported "
               "paths of %d has been reached. Path %s could not be added.",
               "01"),
     {"Failed to get path limit reached path count: %d\n",
      "Failed to get path limit reached path name: %d\n"}},
    {WISPD_ROW("wisp.scsi.device.nmp.satp.option.failed", "%p %p", FLARE_PROBLEM,
               "@&!*@*@(tarn.problem.scsi.device.nmp.satp.option.failed)Invalid config "
               "parameter: \"%s\" provided in the nmp satp claimrule, this setting was not applied "
               "while claiming the path %s",
               "01"),
     {"Failed to get NMP SATP options: %d\n", kPathName}},
    // The adapter is read only once the id is known to be this row's.
    {WISPD_ROW("wisp.scsi.scsipath.badpath.unreachpe", "%p %p", FLARE_PROBLEM,
               "@&!*@*@(tarn.problem.scsi.scsipath.badpath.unreachpe)Sanity check failed for "
               "path %s. The path is to a Kvol PE, but it goes out of adapter %s which is not PE "
               "capable. Path dropped.",
               "01"),
     {kPathName, "Failed to get PE-incapable adapter name for path %s : %d\n"}},
};

const OwnLogRow *OwnLogRowOf(const char *id) {
  for (const OwnLogRow &entry : kOwnLogRows)
    if (strcmp(entry.row.wispId, id) == 0) return &entry;
  return nullptr;
}

void ReadEachWithOwnLog(const Wisp *wisp) {
  const char *id = nullptr;
  if (Wisp_GetID(wisp, &id) != 0 || id == nullptr) return;
  const OwnLogRow *entry = OwnLogRowOf(id);
  if (entry == nullptr) return;
  RowValues values;
  int rc = FlareRow_Read(entry->row, wisp, &values);
  if (rc != 0) {
    Log(entry->logs[values.count < 2 ? values.count : 1], rc);
    return;
  }
  entry->row.post(entry->row, values);
}

void BadPathUnreachablePe(const Wisp *wisp) {
  const OwnLogRow *entry = &kOwnLogRows[std::size(kOwnLogRows) - 1];
  const char *id = nullptr;
  Wisp_GetID(wisp, &id);
  if (id == nullptr) {
    Log("FAIL: Received NULL wispID\n");
    return;
  }
  RowValues values;
  values.count = 0;
  values.str[0] = values.str[1] = nullptr;
  int rc = Wisp_GetArgs(wisp, 0, "%p", &values.str[0]);
  if (rc != 0) {
    Log(entry->logs[0], rc);
    return;
  }
  if (!Wisp_IsID(id, entry->row.wispId)) {
    Log("Unknown WISP ID: %s\n", id);
    return;
  }
  rc = Wisp_GetArgs(wisp, 1, "%p", &values.str[1]);
  if (rc != 0) {
    Log(entry->logs[1], values.str[0] != nullptr ? values.str[0] : "(null)", rc);
    return;
  }
  values.count = 2;
  entry->row.post(entry->row, values);
}

const HandlerRow kHandlers[] = {
    {"wisp.scsi.scsipath.pathstate.dead", ScsiPaths_Down},
    {"wisp.scsi.scsipath.pathstate.off", ScsiPaths_Down},
    {"wisp.scsi.scsipath.pathstate.on", ScsiPaths_Up},
    {"wisp.scsi.scsipath.pathstate.standby", ScsiPaths_Up},
    {"wisp.scsi.scsipath.add", ScsiPaths_AddRemove},
    {"wisp.scsi.scsipath.remove", ScsiPaths_AddRemove},
    {"wisp.scsi.scsipath.por", ScsiPaths_PowerOnReset},
    {"wisp.scsi.device.limitreached", ReadEachWithOwnLog},
    {"wisp.scsi.scsipath.limitreached", ReadEachWithOwnLog},
    {"wisp.scsi.device.nmp.satp.option.failed", ReadEachWithOwnLog},
    {"wisp.scsi.scsipath.badpath.unreachpe", BadPathUnreachablePe},
};

bool Start() {
  ScsiPaths_StartWindows();
  return true;
}

}  // namespace

extern const CorrelatorDef kScsiCorrelator = {
    .name = "scsi",
    .groups = kGroups,
    WISPD_ROWS(kRows),
    WISPD_HANDLERS(kHandlers),
    .fallback = Correlator_ReportUnhandled,
    .reset = ScsiPaths_Reset,
    .start = Start,
};
