// Stopping the daemon while it is busy: one trial starts the daemon and
// hubd under a fresh root, loads it with observations from several
// producers, sends SIGTERM and checks how the process ended.
#pragma once

#include <functional>
#include <string>

namespace testing_support {

struct StopTally {
  int trials = 0;
  int clean = 0;   // status 0 with both closing log lines
  int aborts = 0;  // ended by a signal (abort, crash)
  int hangs = 0;   // still running after the grace period
  int other = 0;   // any other status, or a closing log line missing
};

// Runs trials; each stop comes 0 to maxDelayMs after the load starts.
// report gets one line per trial that was not clean.
StopTally StopUnderLoad(int trials, unsigned seed, int maxDelayMs,
                        const std::function<void(const std::string &)> &report);

}  // namespace testing_support
