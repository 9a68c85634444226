#include "base/wispdTurn.h"

#include <sched.h>
#include <time.h>

#include "base/wispdStats.h"

namespace {

// The real steady clock, not the daemon's replaceable one: turns are about
// this machine's CPUs, whatever time a test shows the correlators.
int64_t SteadyNow() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void OfferCpu() {
  sched_yield();
  Stats_Count(STATS_CPU_OFFERED);
}

}  // namespace

WorkTurn::WorkTurn() : WorkTurn(SteadyNow, OfferCpu) {}
