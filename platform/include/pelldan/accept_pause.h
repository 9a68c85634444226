// Descriptor exhaustion at a listening socket. A failed accept leaves the
// connection in the backlog, so the listener stays readable and a poll loop
// that asks again at once spins. Instead the listener rests: 50 ms after
// the first failure, twice as long after each further one, at most a
// second, and is polled again after that. Waiting clients stay in the
// backlog and are served as soon as descriptors are free. An episode is
// reported twice by its owner: when it starts and, with the count of failed
// accepts, when an accept succeeds again.
#pragma once

#include <errno.h>
#include <stdint.h>
#include <time.h>

namespace pelldan {

class AcceptPause {
 public:
  static constexpr int64_t kFirstRestMs = 50;
  static constexpr int64_t kLongestRestMs = 1000;

  static bool Exhausted(int err) { return err == EMFILE || err == ENFILE; }

  static int64_t NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
  }

  // After accept failed with err at nowMs: true when descriptors ran out
  // (the listener now rests); *starts when this failure opens an episode.
  bool Failed(int err, int64_t nowMs, bool *starts) {
    *starts = false;
    if (!Exhausted(err)) return false;
    *starts = failures_ == 0;
    rest_ = failures_ == 0 ? kFirstRestMs : rest_ * 2 > kLongestRestMs ? kLongestRestMs : rest_ * 2;
    ++failures_;
    until_ = nowMs + rest_;
    return true;
  }

  // After an accept succeeded: the failed accepts of the episode it ends,
  // 0 when none was going on.
  uint64_t Succeeded() {
    uint64_t n = failures_;
    failures_ = 0;
    until_ = 0;
    return n;
  }

  // Milliseconds the listener still rests at nowMs; 0 when it may be polled.
  int RestMs(int64_t nowMs) const { return until_ > nowMs ? static_cast<int>(until_ - nowMs) : 0; }

 private:
  uint64_t failures_ = 0;
  int64_t rest_ = 0;
  int64_t until_ = 0;
};

// The poll time-out that wakes the earliest of the resting listeners:
// timeoutMs unchanged when none rests.
inline int EarliestWake(int timeoutMs, int restMs) {
  if (restMs <= 0) return timeoutMs;
  return timeoutMs < 0 || restMs < timeoutMs ? restMs : timeoutMs;
}

}  // namespace pelldan
