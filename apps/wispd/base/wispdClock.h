// The daemon's clocks, replaceable by tests.
#pragma once

#include <stdint.h>
#include <time.h>

class WispdClock {
 public:
  virtual ~WispdClock() = default;
  // Wall clock (CLOCK_REALTIME).
  virtual struct timespec Realtime() = 0;
  // Steady clock in nanoseconds.
  virtual int64_t SteadyNanos() = 0;
};

WispdClock &Clock_Get(void);
// The system's clock, whatever Clock_Set put in its place.
WispdClock &Clock_System(void);
// Replaces the clock; NULL restores the system clock. Tests only.
void Clock_Set(WispdClock *clock);
// Wall-clock seconds.
int64_t Clock_WallSeconds(void);
