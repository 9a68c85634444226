// The daemon's agents in their start order.
#include "wispdAgent.h"
#include "wispdCorrelatorSpec.h"

// One line per correlator, in start order; each names the CorrelatorSpec its own
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

#define WISPD_DECLARE(spec) extern const CorrelatorSpec spec;
WISPD_CORRELATORS(WISPD_DECLARE)
extern const CorrelatorSpec kSelfTestCorrelator;

namespace {

template <const CorrelatorSpec *Spec>
void RunSpec() {
  Correlator_RunSpec(*Spec);
}

#define WISPD_ENTRY(spec) RunSpec<&spec>,
const AgentEntry kAgents[] = {WISPD_CORRELATORS(WISPD_ENTRY)};

}  // namespace

#define WISPD_POINTER(spec) &spec,
const CorrelatorSpec *const kCorrelatorSpecs[] = {WISPD_CORRELATORS(WISPD_POINTER) nullptr};

void Agent_StartAll(bool withExtras) {
  for (AgentEntry entry : kAgents) Agent_Start(entry);
  if (withExtras) {
    Agent_Start(Agent_LogAll);
    Agent_Start(RunSpec<&kSelfTestCorrelator>);
  }
}
