// The wall clock as the daemon's clock correlator sees it: steps, and the
// synchronisation state the kernel keeps for the time daemon.
#pragma once

#include <cstdint>
#include <vector>

#include "observations.h"

namespace wisplinux {

struct ClockConfig {
  int stepThresholdS = 1;  // steps larger than this are reported
  int syncPollS = 60;      // how often the sync state is read (0: never)
  long maxErrorMs = 0;     // a synchronised clock's bound (0: none)
};

// What adjtimex() said.
struct SyncSample {
  int state = 0;        // its result (TIME_OK ... TIME_ERROR)
  int status = 0;       // STA_* bits
  long maxErrorUs = 0;  // maximum error
};

class ClockWatch {
 public:
  explicit ClockWatch(ClockConfig config) : config_(config) {}
  // The wall clock moved by deltaNs against the monotonic clock and now
  // reads toSec.toNsec. Small steps are only counted.
  void Step(int64_t deltaNs, int64_t toSec, int64_t toNsec, std::vector<Observation> *out);
  // A reading of the sync state; the first one only sets it. True when the
  // reading changed what is known (worth recording).
  bool Sample(const SyncSample &sample, std::vector<Observation> *out);
  uint64_t SmallSteps() const { return smallSteps_; }

 private:
  ClockConfig config_;
  bool known_ = false, synced_ = false, overBound_ = false;
  uint64_t smallSteps_ = 0;
};

bool Synchronised(const SyncSample &sample);

}  // namespace wisplinux
