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
};
static_assert(sizeof kObsRows / sizeof kObsRows[0] == static_cast<size_t>(ObsKind::kCount),
              "one row per kind");
}  // namespace

const char *FamilyName(Family family) {
  return family == Family::kNet ? "net" : "clock";
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

tools::Arg I32(int32_t value) {
  tools::Arg a;
  a.type = MSGFMT_INT32;
  a.bits = static_cast<uint64_t>(static_cast<int64_t>(value));
  return a;
}

}  // namespace wisplinux
