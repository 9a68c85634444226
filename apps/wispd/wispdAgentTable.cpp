// The daemon's agents in their start order.
#include "wispdAgent.h"
#include "wispdCorrelator.h"
#include "wispdCorrelators.h"

namespace {

// A correlator whose handlers are not written yet still consumes its group.
template <const char *Name, const char *Group>
void RunWithoutHandlers() {
  static const WispHandlerTable kNone;
  Correlator_Run(Name, Group, Correlator_IgnoreWisp, kNone);
}

void RunGeneric() {
  static const WispHandlerTable kNone;
  const char *groups[] = {"user", "external", nullptr};
  const char *ids[] = {nullptr};
  Correlator_RunGroups("Generic", groups, ids, Correlator_IgnoreWisp, kNone);
}

constexpr char kScsi[] = "scsi", kIscsi[] = "iscsi", kCairn[] = "cairn";
constexpr char kUserLevel[] = "UserLevel", kUser[] = "user";
constexpr char kHardware[] = "Hardware", kHardwareGroup[] = "hardware";
constexpr char kCpu[] = "cpu", kUserWorld[] = "UserWorld", kUw[] = "uw";
constexpr char kSwap[] = "SWAP", kSwapGroup[] = "swap", kVm[] = "VM", kVmGroup[] = "vm";
constexpr char kMigrate[] = "migrate", kPageRetire[] = "pageretire";
constexpr char kStowfs[] = "Stowfs", kStowfsGroup[] = "stowfs";
constexpr char kVfat[] = "Vfat", kVfatGroup[] = "vfat";
constexpr char kClock[] = "Clock", kClockGroup[] = "clock", kSched[] = "sched";
constexpr char kVscsi[] = "vscsi", kStrata[] = "Strata", kStrataGroup[] = "strata";
constexpr char kHcm[] = "HCM", kHcmGroup[] = "hcm";

const AgentEntry kAgents[] = {
    NetCorrelator_Main,
    RunWithoutHandlers<kScsi, kScsi>,
    ApdCorrelator_Main,
    RunWithoutHandlers<kIscsi, kIscsi>,
    RunWithoutHandlers<kCairn, kCairn>,
    RunWithoutHandlers<kUserLevel, kUser>,
    RunWithoutHandlers<kHardware, kHardwareGroup>,
    RunWithoutHandlers<kCpu, kCpu>,
    RunWithoutHandlers<kUserWorld, kUw>,
    RunWithoutHandlers<kSwap, kSwapGroup>,
    RunWithoutHandlers<kVm, kVmGroup>,
    RunGeneric,
    RunWithoutHandlers<kMigrate, kMigrate>,
    RunWithoutHandlers<kPageRetire, kPageRetire>,
    RunWithoutHandlers<kStowfs, kStowfsGroup>,
    RunWithoutHandlers<kVfat, kVfatGroup>,
    RunWithoutHandlers<kClock, kClockGroup>,
    RunWithoutHandlers<kSched, kSched>,
    RunWithoutHandlers<kVscsi, kVscsi>,
    RunWithoutHandlers<kStrata, kStrataGroup>,
    RunWithoutHandlers<kHcm, kHcmGroup>,
};

}  // namespace

void Agent_StartAll(bool withExtras) {
  for (AgentEntry entry : kAgents) Agent_Start(entry);
  if (withExtras) {
    Agent_Start(Agent_LogAll);
    // The self-test correlator joins here once it exists.
  }
}
