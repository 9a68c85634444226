#include <gtest/gtest.h>

#include "base/wispdTurn.h"

namespace {

int64_t gNow = 0;
int gOffers = 0;
int64_t FakeNow() {
  return gNow;
}
void CountOffer() {
  ++gOffers;
}

class TurnTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gNow = 5000000;
    gOffers = 0;
  }
};

TEST_F(TurnTest, WorkPastATenthOfAMillisecondOffersTheCpuOncePerTurn) {
  WorkTurn turn(FakeNow, CountOffer);
  gNow += 99999;
  EXPECT_FALSE(turn.Over());
  gNow += 1;
  ASSERT_TRUE(turn.Over());
  turn.Yield();
  EXPECT_EQ(gOffers, 1);
  // The next turn is counted from the offer, not from the first start.
  gNow += 60000;
  EXPECT_FALSE(turn.Over());
  gNow += 40000;
  EXPECT_TRUE(turn.Over());
}

TEST_F(TurnTest, AWaitStartsANewTurn) {
  WorkTurn turn(FakeNow, CountOffer);
  gNow += 90000;
  turn.Begin();  // the thread slept here
  gNow += 90000;
  EXPECT_FALSE(turn.Over());
  EXPECT_EQ(gOffers, 0);
}

}  // namespace
