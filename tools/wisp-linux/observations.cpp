#include "observations.h"

#include "pellibs/msgfmt.h"

namespace wisplinux {

namespace {
const ObsRow kObsRows[] = {
    {ObsKind::kLinkDown, Family::kNet, "wisp.net.pnic.linkstate.down", "link %s is down"},
    {ObsKind::kLinkUp, Family::kNet, "wisp.net.pnic.linkstate.up", "link %s is up"},
    {ObsKind::kUplinkDown, Family::kNet, "wisp.net.pg.uplink.transition.down",
     "uplink %s of port group %s is down, %d still active (%d)"},
    {ObsKind::kUplinkUp, Family::kNet, "wisp.net.pg.uplink.transition.up",
     "uplink %s of port group %s is up, %d active"},
    {ObsKind::kClockStep, Family::kClock, "wisp.clock.correction.delta.allowed",
     "clock stepped to %d.%09d by %d s (reported above %d s)"},
    {ObsKind::kClockStepUnsync, Family::kClock, "wisp.clock.correction.step.unsync",
     "clock stepped to %d.%09d and is not synchronised"},
    {ObsKind::kSyncGained, Family::kClock, "wisp.clock.correction.adjtime.sync",
     "clock synchronised"},
    {ObsKind::kSyncLost, Family::kClock, "wisp.clock.correction.adjtime.unsync",
     "clock not synchronised"},
    {ObsKind::kSyncDoubtful, Family::kClock, "wisp.clock.correction.adjtime.lostsync",
     "clock's maximum error over its bound"},
    {ObsKind::kPathDead, Family::kStorage, "wisp.scsi.scsipath.pathstate.dead",
     "path %s is dead, was %s"},
    {ObsKind::kPathOn, Family::kStorage, "wisp.scsi.scsipath.pathstate.on",
     "path %s is on, was %s"},
    {ObsKind::kPathPor, Family::kStorage, "wisp.scsi.scsipath.por",
     "power-on or device reset on %s"},
    {ObsKind::kApdStart, Family::kStorage, "wisp.storage.apd.start", "device %s has no path left"},
    {ObsKind::kApdExit, Family::kStorage, "wisp.storage.apd.exit", "device %s has a path again"},
    {ObsKind::kApdTimeout, Family::kStorage, "wisp.storage.apd.timeout",
     "device %s stopped queueing I/O after %d s without a path"},
    {ObsKind::kTooManyIoErrors, Family::kStorage, "wisp.scsi.device.too.many.io.error",
     "device %s failed %u%% of its I/O"},
    {ObsKind::kCorrectedError, Family::kHardware, "wisp.cpu.mce.log4",
     "corrected error %lu status %#lx %lu %lu cpu %lu address %#lx %lu count %lu"},
};
static_assert(sizeof kObsRows / sizeof kObsRows[0] == static_cast<size_t>(ObsKind::kCount),
              "one row per kind");
}  // namespace

const char *FamilyName(Family family) {
  static const char *const kNames[kFamilies] = {"net", "clock", "storage", "hardware"};
  return kNames[static_cast<int>(family)];
}

const ObsRow &RowOf(ObsKind kind) {
  // Rows stand in the order of the kinds (the test checks each).
  return kObsRows[static_cast<size_t>(kind)];
}

tools::Arg Str(const std::string &text) {
  tools::Arg a;
  a.type = MSGFMT_STRING;
  a.str = text;
  return a;
}

namespace {
tools::Arg Whole(uint32_t type, uint64_t bits) {
  tools::Arg a;
  a.type = type;
  a.bits = bits;
  return a;
}
}  // namespace

tools::Arg I32(int32_t value) {
  return Whole(MSGFMT_INT32, static_cast<uint64_t>(static_cast<int64_t>(value)));
}

tools::Arg U32(uint32_t value) {
  return Whole(MSGFMT_UINT32, value);
}

tools::Arg U64(uint64_t value) {
  return Whole(MSGFMT_UINT64, value);
}

}  // namespace wisplinux
