// The timer service driven by a fake clock.
#include <gtest/gtest.h>

#include <vector>

#include "base/wispdTimer.h"
#include "fake_clock.h"

using namespace testing_support;

namespace {

std::vector<int> gFired;
void A() {
  gFired.push_back(0);
}
void B() {
  gFired.push_back(1);
}

TEST(Timer, CreatesAtMostSixteen) {
  TimerService timers;
  for (int i = 0; i < 16; ++i) EXPECT_EQ(timers.Create(A), i);
  EXPECT_EQ(timers.Create(A), -1);
}

TEST(Timer, SetChecksModeAndIdAndReportsRemainingTime) {
  FakeClock clock;
  TimerService timers;
  int id = timers.Create(A);
  EXPECT_EQ(timers.Set(id, 2, 5, nullptr), 1);
  EXPECT_EQ(timers.Set(id + 1, 0, 5, nullptr), 1);
  EXPECT_EQ(timers.Earliest(), 0);  // the bad calls changed nothing
  ASSERT_EQ(timers.Set(id, TIMER_ONESHOT, 5, nullptr), 0);
  clock.Advance(2);
  unsigned remaining = 99;
  ASSERT_EQ(timers.Set(id, TIMER_ONESHOT, 0, &remaining), 0);
  EXPECT_EQ(remaining, 3u);
  EXPECT_EQ(timers.Earliest(), 0);
}

TEST(Timer, FiresDueTimersInIdOrderOneShotOnce) {
  FakeClock clock;
  TimerService timers;
  gFired.clear();
  int a = timers.Create(A), b = timers.Create(B);
  timers.Set(b, TIMER_ONESHOT, 3, nullptr);
  timers.Set(a, TIMER_ONESHOT, 3, nullptr);
  EXPECT_FALSE(timers.FireDue(clock.Seconds() + 2));
  while (timers.FireDue(clock.Seconds() + 3)) {
  }
  EXPECT_EQ(gFired, (std::vector<int>{0, 1}));
  EXPECT_EQ(timers.Earliest(), 0);
}

TEST(Timer, PeriodicTimerRearmsFromTheMomentItFired) {
  FakeClock clock;
  TimerService timers;
  gFired.clear();
  int id = timers.Create(A);
  timers.Set(id, TIMER_PERIODIC, 180, nullptr);
  int64_t late = clock.Seconds() + 185;  // fired 5 s late
  EXPECT_TRUE(timers.FireDue(late));
  EXPECT_EQ(timers.Earliest(), late + 180);
}

}  // namespace
