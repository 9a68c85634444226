// SIGTERM while the daemon is busy: every stop ends cleanly.
#include <gtest/gtest.h>

#include "stop_trial.h"

using namespace testing_support;

TEST(Stop, UnderLoadEndsWithStatusZeroEveryTime) {
  StopTally t =
      StopUnderLoad(30, 20261205, 300, [](const std::string &line) { ADD_FAILURE() << line; });
  EXPECT_EQ(t.trials, 30);
  EXPECT_EQ(t.clean, 30);
  EXPECT_EQ(t.aborts + t.hangs + t.other, 0);
}
