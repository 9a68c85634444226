// SIGTERM while the daemon is busy: every stop ends cleanly.
#include <gtest/gtest.h>

#include <string>

#include "stop_trial.h"

using namespace testing_support;

// A sanitizer finds what a stop does wrong in any trial; its trees run a
// third of them.
TEST(Stop, UnderLoadEndsWithStatusZeroEveryTime) {
  const int trials = std::string(WISPD_SANITIZED).empty() ? 30 : 10;
  StopTally t =
      StopUnderLoad(trials, 20261205, 300, [](const std::string &line) { ADD_FAILURE() << line; });
  EXPECT_EQ(t.trials, trials);
  EXPECT_EQ(t.clean, trials);
  EXPECT_EQ(t.aborts + t.hangs + t.other, 0);
}
