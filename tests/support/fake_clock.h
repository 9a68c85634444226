// A clock that tests move by hand.
#pragma once

#include <atomic>

#include "base/wispdClock.h"

namespace testing_support {

class FakeClock : public WispdClock {
 public:
  explicit FakeClock(int64_t wallSeconds = 1764849610) : nanos_(wallSeconds * 1000000000LL) {
    Clock_Set(this);
  }
  ~FakeClock() override { Clock_Set(nullptr); }
  struct timespec Realtime() override {
    int64_t n = nanos_.load();
    return {static_cast<time_t>(n / 1000000000), static_cast<long>(n % 1000000000)};
  }
  int64_t SteadyNanos() override {
    ++steadyReads_;
    return nanos_.load();
  }
  // How often the steady clock was read: a waiter's look at it is an event.
  int64_t SteadyReads() const { return steadyReads_.load(); }
  int64_t Seconds() const { return nanos_.load() / 1000000000; }
  void Advance(double seconds) { nanos_ += static_cast<int64_t>(seconds * 1e9); }

 private:
  std::atomic<int64_t> nanos_;
  std::atomic<int64_t> steadyReads_{0};
};

}  // namespace testing_support
