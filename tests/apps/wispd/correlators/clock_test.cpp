// The clock correlator's per-identifier rate limit and the synchronisation
// loss that lets the next "synchronized" report through.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "correlator_kit.h"

using namespace testing_support;

extern const CorrelatorDef kClockCorrelator;

namespace {

typedef std::vector<std::string> Lines;

class Clock : public ::testing::Test {
 protected:
  void Warning() {
    kit.Send("wisp.clock.correction.delta.warning",
             {I32(1700000000), I32(5), I32(700), I32(600), I32(2), I32(5)});
  }
  CorrelatorKit kit{kClockCorrelator, R"({"clock": {"wisp_report_interval": 3600}})"};
};

const char kWarning[] =
    "[tarn.problem.clock.correction.delta.warning] system clock stepped to "
    "1700000000.000000005, but delta 700 > 600 seconds, 2/5 large corrections";

TEST_F(Clock, EachIdentifierPostsOncePerReportInterval) {
  Warning();
  kit.Advance(10);
  Warning();
  kit.Send("wisp.clock.correction.delta.allowed", {I32(1700000000), I32(42), I32(700), I32(600)});
  EXPECT_EQ(kit.Texts(), Lines({kWarning,
                                "[tarn.problem.clock.correction.delta.allowed] system "
                                "clock stepped to 1700000000.000000042, but delta 700 > "
                                "600 seconds"}));
  kit.Send("wisp.clock.correction.delta.failed", {I32(1)});  // unreadable: time left alone
  kit.Advance(3589);
  Warning();
  EXPECT_EQ(kit.Texts(), Lines{});
  kit.Advance(1);
  Warning();
  kit.Send("wisp.clock.correction.delta.failed", {I32(1), I32(2), I32(3), I32(4), I32(5)});
  EXPECT_EQ(kit.Texts(), Lines({kWarning,
                                "[tarn.problem.clock.correction.delta.failed] system "
                                "clock step to 1.000000002 failed, delta 3 > 4 seconds, "
                                "number of large corrections > 5"}));
}

TEST_F(Clock, ALossOfSyncLetsTheNextSynchronizedReportPass) {
  const std::string sync =
      "[tarn.problem.clock.correction.adjtime.sync] system clock synchronized to upstream time "
      "servers";
  kit.Send("wisp.clock.correction.adjtime.sync");
  kit.Advance(60);
  kit.Send("wisp.clock.correction.adjtime.unsync");
  kit.Advance(60);
  kit.Send("wisp.clock.correction.adjtime.sync");
  kit.Advance(60);
  kit.Send("wisp.clock.correction.adjtime.sync");  // no loss in between
  EXPECT_EQ(kit.Texts(), Lines({sync,
                                "[tarn.problem.clock.correction.adjtime.unsync] system clock lost "
                                "synchronization to upstream time servers",
                                sync}));
  kit.Send("wisp.clock.correction.changed", {Str("ntpd"), I32(1700000000), I32(7)});
  kit.Send("wisp.clock.correction.adjtime.sync");
  EXPECT_EQ(kit.Texts(), Lines({"[tarn.problem.clock.correction.changed] ntpd changed system clock "
                                "to 1700000000.000000007, lost synchronization to upstream time "
                                "servers",
                                sync}));
}

TEST_F(Clock, TheIntervalComesFromTheHostAndFromItsParameterReport) {
  kit.Model(R"({"clock": {"wisp_report_interval": 100}})");
  kit.Reset();
  Warning();
  kit.Advance(100);
  Warning();
  EXPECT_EQ(kit.Texts(), Lines({kWarning, kWarning}));
  kit.Send("wisp.clock.parameter.set.wispReportInterval", {I32(0)});
  Warning();
  Warning();
  EXPECT_EQ(kit.Texts(), Lines({"[tarn.problem.clock.parameter.set.wispReportInterval] setting "
                                "system clock WISP report interval to 0",
                                kWarning, kWarning}));
}

TEST_F(Clock, AnIdentifierWithoutAnEntryIsLogged) {
  kit.Send("wisp.clock.unknown.report");
  std::vector<std::string> logs = kit.Logs();
  EXPECT_TRUE(std::any_of(logs.begin(), logs.end(), [](const std::string &l) {
    return l.find("No system clock correlator for wisp.clock.unknown.report") == 0;
  }));
  EXPECT_EQ(kit.Texts(), Lines{});
}

}  // namespace
