#include "base/wispdTurn.h"

#include <sched.h>

#include "base/wispdClock.h"
#include "base/wispdStats.h"

namespace {

// The system's steady clock, not the replaceable one: turns are about this
// machine's CPUs, whatever time a test shows the correlators.
int64_t SteadyNow() {
  return Clock_System().SteadyNanos();
}

void OfferCpu() {
  sched_yield();
  Stats_Count(STATS_CPU_OFFERED);
}

}  // namespace

WorkTurn::WorkTurn() : WorkTurn(SteadyNow, OfferCpu) {}
