// The daemon's agents in their start order.
#include "intake/wispdAgent.h"
#include "intake/wispdCorrelatorDef.h"

// One line per correlator, in start order; each names the CorrelatorDef its own
// source file defines.
#define WISPD_CORRELATORS(X) \
  X(kNetCorrelator)          \
  X(kScsiCorrelator)         \
  X(kApdCorrelator)          \
  X(kIscsiCorrelator)        \
  X(kCairnCorrelator)        \
  X(kUserLevelCorrelator)    \
  X(kHardwareCorrelator)     \
  X(kCpuCorrelator)          \
  X(kUserWorldCorrelator)    \
  X(kSwapCorrelator)         \
  X(kVmCorrelator)           \
  X(kGenericCorrelator)      \
  X(kMigrateCorrelator)      \
  X(kPageRetireCorrelator)   \
  X(kStowfsCorrelator)       \
  X(kVfatCorrelator)         \
  X(kClockCorrelator)        \
  X(kSchedCorrelator)        \
  X(kVscsiCorrelator)        \
  X(kStrataCorrelator)       \
  X(kHcmCorrelator)

#define WISPD_DECLARE(def) extern const CorrelatorDef def;
WISPD_CORRELATORS(WISPD_DECLARE)
extern const CorrelatorDef kSelfTestCorrelator;

namespace {

template <const CorrelatorDef *Def>
void RunDef() {
  Correlator_RunDef(*Def);
}

#define WISPD_ENTRY(def) RunDef<&def>,
const AgentEntry kAgents[] = {WISPD_CORRELATORS(WISPD_ENTRY)};

}  // namespace

#define WISPD_POINTER(def) &def,
const CorrelatorDef *const kCorrelatorDefs[] = {WISPD_CORRELATORS(WISPD_POINTER) nullptr};

void Agent_StartAll(bool withExtras) {
  for (AgentEntry entry : kAgents) Agent_Start(entry);
  if (withExtras) {
    Agent_Start(Agent_LogAll);
    Agent_Start(RunDef<&kSelfTestCorrelator>);
  }
}
