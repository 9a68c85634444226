// What the preloaded timed-wait library shares with the scenario runner.
#pragma once

#include <atomic>
#include <cstdint>

// Names the state file (a StepWaitState) in the daemon's environment.
constexpr char kStepWaitStateEnv[] = "WISP_STEPWAIT_STATE";
// Real time between two looks at the stepped clock.
constexpr long kStepWaitSliceNanos = 2000000;

struct StepWaitState {
  std::atomic<int64_t> seen;      // the clock second the waiter last checked
  std::atomic<int64_t> deadline;  // the second it waits for
  std::atomic<int32_t> waiting;   // 1 while it sleeps in a slice, until signalled
  std::atomic<int32_t> tid;       // the waiting thread
  // Times the wait returned to its caller (a timer fired, or the waiter
  // was signalled): unchanged between two looks, the waiter did no work.
  std::atomic<int64_t> returns;
};
