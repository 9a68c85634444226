// Cairn correlator: the clustered file system's observations. Each maps one
// to one onto a flare; part of them carry only their arguments, the host
// agent supplying the wording from the event id.
#include <stdio.h>

#include <iterator>

#include "base/wispdLog.h"
#include "intake/wispdCorrelatorDef.h"

namespace {

const char *const kGroups[] = {"cairn", nullptr};

// A volume UUID travels as nine arguments: 32, 32 and 16 bits, then six bytes.
#define CAIRN_UUID "%08x-%08x-%04hx-%02hhx%02hhx%02hhx%02hhx%02hhx%02hhx"

// The UUID text of the nine arguments from index First on.
template <unsigned First>
std::string UuidText(const RowValues &v) {
  char text[36];
  snprintf(
      text, sizeof text, CAIRN_UUID, static_cast<unsigned>(v.bits[First]),
      static_cast<unsigned>(v.bits[First + 1]), static_cast<unsigned short>(v.bits[First + 2]),
      static_cast<unsigned char>(v.bits[First + 3]), static_cast<unsigned char>(v.bits[First + 4]),
      static_cast<unsigned char>(v.bits[First + 5]), static_cast<unsigned char>(v.bits[First + 6]),
      static_cast<unsigned char>(v.bits[First + 7]), static_cast<unsigned char>(v.bits[First + 8]));
  return text;
}

// A device that is gone still reads as a name: an empty one.
std::string DeviceOrEmpty(const RowValues &v) {
  return v.str[0] != nullptr ? v.str[0] : "";
}

const char kCorrelateFailed[] = "Failed to correlate %s: %d\n";

// Heartbeat and on-disk corruption reports: UUID, then a string.
constexpr char kUuidThenString[] = "%08x-%08x-%04hx-%02hhx%02hhx%02hhx%02hhx%02hhx%02hhx%p";
// NFS server reports: two strings, UUID, a string.
constexpr char kNfsServer[] = "%p %p%08x-%08x-%04hx-%02hhx%02hhx%02hhx%02hhx%02hhx%02hhx%p";

const FlareRow kRows[] = {
    WISPD_ROW("wisp.cairn.error.volume.is.locked", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cairn.error.volume.is.locked)Volume on device %s is locked, "
              "possibly because some remote host encountered an error during a volume operation "
              "and could not recover.",
              "0"),
    WISPD_ROW("wisp.cairn.extent.offline", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cairn.extent.offline)An attached device %s may be offline. "
              "The file system %s is now in a degraded state. While the datastore is still "
              "available, parts of data that reside on the extent that went offline might be "
              "inaccessible.",
              "L1")
        .Lookup(DeviceOrEmpty),
    WISPD_ROW("wisp.cairn.extent.online", "%p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cairn.extent.online)Device %s backing file system %s came "
              "online. This extent was previously offline. All resources on this device are now "
              "available.",
              "01"),
    WISPD_ROW("wisp.cairn.volume.mounted", "%p %p %p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.cairn.volume.mounted)File system %s on volume %s has been "
              "mounted in '%s' mode. The datastore is now accessible on this host.",
              "012"),
    WISPD_ROW("wisp.cairn.volume.umounted", "%p %p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.cairn.volume.umounted)File system %s on volume %s has been "
              "safely un-mounted. The datastore is no longer accessible on this host.",
              "01"),
    WISPD_ROW("wisp.cairn.ats.support.lost", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cairn.ats.support.lost)ATS-Only Cairn volume '%s' will not be "
              "mounted. Host does notsupport ATS or ATS intialization has failed.",
              "0"),
    WISPD_ROW("wisp.cairn.spanstate.incompatibility.detected", "%p" CAIRN_UUID, FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cairn.spanstate.incompatibility.detected)Incompatible span "
              "change detected for Cairn volume '%s' (%s): volume was not spanned at time of open "
              "but now it is, and this host is using ATS-only lockmode but the volume is not "
              "ATS-only. Volume descriptor refresh operations will fail until this host unmounts "
              "and remounts the volume.",
              "0L")
        .Lookup(UuidText<1>),
    WISPD_ROW("wisp.cairn.lockmode.inconsistency.detected", "%p" CAIRN_UUID "%p %p %p",
              FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cairn.lockmode.inconsistency.detected)Inconsistent lockmode "
              "change detected for Cairn volume '%s' (%s): volume was configured for %s lockmode "
              "at time of open and now it is configured for %s lockmode but this host is not using "
              "%s lockmode. Protocol error during ATS transition. Volume descriptor refresh "
              "operations will fail until this host unmounts and remounts the volume.",
              "0Labc")
        .Lookup(UuidText<1>),
    WISPD_ROW("wisp.cairn.ats.incompatibility.detected", "%p" CAIRN_UUID, FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cairn.ats.incompatibility.detected)Multi-extent ATS-only "
              "volume '%s' (%s) is unable to use ATS because HardwareAcceleratedLocking is "
              "disabled on this host: potential for introducing filesystem corruption. Volume "
              "should not be used from other hosts.",
              "0L")
        .Lookup(UuidText<1>),
    WISPD_ROW("wisp.cairn.spanned.lockmode.inconsistency.detected", "%p" CAIRN_UUID "%p %p %p",
              FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cairn.spanned.lockmode.inconsistency.detected)Inconsistent "
              "lockmode change detected for spanned Cairn volume '%s' (%s): volume was configured "
              "for %s lockmode at time of open and now it is configured for %s lockmode but this "
              "host is not using %s lockmode. All operations on this volume will fail until this "
              "host unmounts and remounts the volume.",
              "0Labc")
        .Lookup(UuidText<1>),
    WISPD_ROW("wisp.cairn.nfs.mount.failed", "%p %p %p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cairn.nfs.mount.failed)%s %s %s %s", "0123")
        .CheckId(),
    WISPD_ROW("wisp.cairn.nfs.volume.io.latency.high", "%p %lu %lu", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cairn.nfs.volume.io.latency.high)%s %lu %lu", "012")
        .CheckId()
        .FailLog(kCorrelateFailed),
    WISPD_ROW("wisp.cairn.nfs.volume.io.latency.improved", "%p %lu %lu", FLARE_CLEAR,
              "@&!*@*@(tarn.clear.cairn.nfs.volume.io.latency.improved)%s %lu %lu", "012")
        .CheckId()
        .FailLog(kCorrelateFailed),
    WISPD_ROW("wisp.cairn.nfs.volume.io.latency.high.exceed.threshold", "%p %lu %lu  %lu",
              FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cairn.nfs.volume.io.latency.high.exceed.threshold)%s %lu %lu "
              "%lu",
              "0123")
        .CheckId()
        .FailLog(kCorrelateFailed),
    WISPD_ROW("wisp.cairn.nfs.volume.io.latency.exceed.threshold.period", "%p %lu %lu %lu",
              FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cairn.nfs.volume.io.latency.exceed.threshold.period)%s %lu "
              "%lu %lu",
              "0123")
        .CheckId()
        .FailLog(kCorrelateFailed),
    WISPD_ROW("wisp.cairn.nfs.volume.no.space", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cairn.nfs.volume.no.space)%s: No space on NFS volume.", "0")
        .CheckId()
        .FailLog(kCorrelateFailed),
    WISPD_ROW("wisp.cairn.nfs.mantlenic.removed", "%p %p %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cairn.nfs.mantlenic.removed)mantlenic %s removed, NFS%s "
              "datastore %s configured with the mantlenic will be inaccessible.",
              "012")
        .CheckId()
        .FailLog(kCorrelateFailed),
    WISPD_ROW("wisp.cairn.lock.busy.filename", "%p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cairn.lock.busy.filename)Lock(s) held on file %s by other "
              "host(s)",
              "0"),
    WISPD_ROW("wisp.cairn.lock.busy.filedesc", "%p %p %u %u %p", FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cairn.lock.busy.filedesc)%s Lock(s) held on a file on volume "
              "%s. numHolders: %d. gblNumHolders: %d. Locking Host(s) MAC: %s.",
              "01234"),
    // Checks the id for null, but a failed read stays silent.
    WISPD_ROW("wisp.cairn.quillet.bloomfilter.disabled", "%p %p", FLARE_AUDIT,
              "@&!*@*@(tarn.audit.cairn.quillet.bloomfilter.disabled)Read IO performance maybe "
              "impacted for disk %s: %s",
              "01")
        .CheckId(),
};

// Heartbeat and on-disk corruption reports, in the order they are tested.
const FlareRow kFamilyRows[] = {
    WISPD_ROW("wisp.cairn.heartbeat.timedout", kUuidThenString, FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cairn.heartbeat.timedout)%s %s", "L9")
        .Lookup(UuidText<0>),
    WISPD_ROW("wisp.cairn.heartbeat.recovered", kUuidThenString, FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cairn.heartbeat.recovered)%s %s", "L9")
        .Lookup(UuidText<0>),
    WISPD_ROW("wisp.cairn.journal.createfailed", kUuidThenString, FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cairn.journal.createfailed)%s %s", "L9")
        .Lookup(UuidText<0>),
    WISPD_ROW("wisp.cairn.heartbeat.unrecoverable", kUuidThenString, FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cairn.heartbeat.unrecoverable)%s %s", "L9")
        .Lookup(UuidText<0>),
    WISPD_ROW("wisp.cairn.lock.corruptondisk.v2", kUuidThenString, FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cairn.lock.corruptondisk.v2)%s %s", "L9")
        .Lookup(UuidText<0>),
    WISPD_ROW("wisp.cairn.resource.corruptondisk", kUuidThenString, FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cairn.resource.corruptondisk)%s %s", "L9")
        .Lookup(UuidText<0>),
    WISPD_ROW("wisp.cairn.heartbeat.corruptondisk", kUuidThenString, FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cairn.heartbeat.corruptondisk)%s %s", "L9")
        .Lookup(UuidText<0>),
};

// NFS server reports: a disconnect is a problem, a restore its clear.
const FlareRow kNfsServerRows[] = {
    WISPD_ROW("wisp.cairn.nfs.server.disconnect", kNfsServer, FLARE_PROBLEM,
              "@&!*@*@(tarn.problem.cairn.nfs.server.disconnect)%s %s %s %s", "01Lb")
        .Lookup(UuidText<2>),
    WISPD_ROW("wisp.cairn.nfs.server.restored", kNfsServer, FLARE_CLEAR,
              "@&!*@*@(tarn.clear.cairn.nfs.server.restored)%s %s %s %s", "01Lb")
        .Lookup(UuidText<2>),
};

// Reads the family's arguments, then posts the row of the observation's id.
// An id outside the family can only come from a faulty table.
void PostFamilyRow(const FlareRow *rows, size_t count, const Wisp *wisp, int line) {
  const char *id = nullptr;
  if (Wisp_GetID(wisp, &id) != 0 || id == nullptr) return;
  RowValues values;
  if (FlareRow_Read(rows[0], wisp, &values) != 0) return;
  for (size_t i = 0; i < count; ++i) {
    if (!Wisp_IsID(id, rows[i].wispId)) continue;
    values.lookup = rows[i].lookup(values);
    rows[i].post(rows[i], values);
    return;
  }
  Panic("NOT_REACHED %s:%d\n", "apps/wispd/wispdCairnCorrelator", line);
}

void HandleFamily(const Wisp *wisp) {
  PostFamilyRow(kFamilyRows, std::size(kFamilyRows), wisp, __LINE__);
}

void HandleNfsServer(const Wisp *wisp) {
  PostFamilyRow(kNfsServerRows, std::size(kNfsServerRows), wisp, __LINE__);
}

const HandlerRow kHandlers[] = {
    {"wisp.cairn.heartbeat.timedout", HandleFamily},
    {"wisp.cairn.heartbeat.recovered", HandleFamily},
    {"wisp.cairn.journal.createfailed", HandleFamily},
    {"wisp.cairn.heartbeat.unrecoverable", HandleFamily},
    {"wisp.cairn.lock.corruptondisk.v2", HandleFamily},
    {"wisp.cairn.resource.corruptondisk", HandleFamily},
    {"wisp.cairn.heartbeat.corruptondisk", HandleFamily},
    {"wisp.cairn.nfs.server.disconnect", HandleNfsServer},
    {"wisp.cairn.nfs.server.restored", HandleNfsServer},
};

}  // namespace

extern const CorrelatorDef kCairnCorrelator = {
    .name = "cairn",
    .groups = kGroups,
    WISPD_ROWS(kRows),
    WISPD_HANDLERS(kHandlers),
    .fallback = Correlator_IgnoreWisp,
};
