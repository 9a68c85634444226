#include "wispdClock.h"

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

SystemClock gSystemClock;
std::atomic<WispdClock *> gClock{&gSystemClock};

}  // namespace

WispdClock &Clock_Get(void) {
  return *gClock.load(std::memory_order_acquire);
}

void Clock_Set(WispdClock *clock) {
  gClock.store(clock != nullptr ? clock : &gSystemClock, std::memory_order_release);
}

int64_t Clock_WallSeconds(void) {
  return Clock_Get().Realtime().tv_sec;
}
