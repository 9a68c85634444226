#include "base/wispdClock.h"

#include <atomic>

namespace {

class SystemClock : public WispdClock {
 public:
  struct timespec Realtime() override {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return ts;
  }
  int64_t SteadyNanos() override {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
  }
};

std::atomic<WispdClock *> gClock{nullptr};  // none: the system's

}  // namespace

// Never destroyed: the timer and trace threads read the clock while the
// process exits.
WispdClock &Clock_System(void) {
  static SystemClock *clock = new SystemClock;
  return *clock;
}

WispdClock &Clock_Get(void) {
  WispdClock *clock = gClock.load(std::memory_order_acquire);
  return clock != nullptr ? *clock : Clock_System();
}

void Clock_Set(WispdClock *clock) {
  gClock.store(clock, std::memory_order_release);
}

int64_t Clock_WallSeconds(void) {
  return Clock_Get().Realtime().tv_sec;
}
