// The network correlator in process through the correlator kit.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "correlator_kit.h"
#include "wispdNetFlapping.h"
#include "wispdNetRedundancy.h"
#include "wispdTimer.h"

using namespace testing_support;

extern const CorrelatorDef kNetCorrelator;

namespace {

const char kSwitch0[] =
    R"({"port_groups": {"A": {"switch": "switch0"}, "B": {"switch": "switch0"},
        "C": {"switch": "switch0"}, "D": {"switch": "switch0"}}})";

class Net : public ::testing::Test {
 protected:
  void Model(const std::string &json) { kit.Model(json); }
  void Send(const std::string &id, const std::vector<tools::Arg> &args) { kit.Send(id, args); }
  void Link(const char *state, const std::string &nic) {
    Send(std::string("wisp.net.pnic.linkstate.") + state, {Str(nic)});
  }
  void Pg(const char *dir, const std::string &nic, const std::string &pg, int32_t count) {
    Send(std::string("wisp.net.pg.uplink.transition.") + dir,
         {Str(nic), Str(pg), I32(count), I32(9)});
  }

  // Moves the clock, then the timer's wake-up runs.
  void Pass(double seconds) {
    kit.Advance(seconds);
    kNetCorrelator.wakeup();
  }

  // Seconds until the earliest armed timer, the network correlator's here.
  unsigned ArmedFor() {
    int64_t at = Timer_Service().Earliest();
    return at > clock->Seconds() ? static_cast<unsigned>(at - clock->Seconds()) : 0;
  }

  // "[event id] message" of each flare posted since the last call.
  std::vector<std::string> Flares() { return kit.Texts(); }

  size_t TakeDowns(const std::string &nic) {
    size_t n = 0;
    for (const std::string &line : Lines(kit.root.Under("/var/log/pelldan/simhost-actions.jsonl")))
      n += line.find(R"({"action":"nic_down","nic":")" + nic + R"(","value":1,)") == 0;
    return n;
  }

  CorrelatorKit kit{kNetCorrelator, kSwitch0};
  FakeClock *clock = kit.clock.get();
};

TEST_F(Net, DueWithinTheComingSecondRunsNowLaterReArms) {
  Link("down", "pnic0");
  EXPECT_EQ(ArmedFor(), 1u);
  clock->Advance(0.5);
  Pg("down", "pnic1", "A", 0);  // due 2.5 s from the start
  Pass(0.5);
  EXPECT_EQ(Flares(),
            Texts{"[tarn.problem.net.pnic.linkstate.down] Physical NIC pnic0 linkstate is down"});
  EXPECT_EQ(ArmedFor(), 1u);  // 1.5 s to go
  Pass(0.6);
  EXPECT_EQ(Flares(), Texts{"[tarn.problem.net.connectivity.lost] Lost network connectivity on "
                            "virtual switch \"switch0\". Physical NIC pnic1 is down. Affected "
                            "port groups: \"A\""});

  Link("down", "pnic2");
  Pass(0);  // exactly one second away still waits
  EXPECT_EQ(ArmedFor(), 1u);
  EXPECT_TRUE(Flares().empty());
  Pass(2e-9);
  EXPECT_EQ(Flares().size(), 1u);
}

TEST_F(Net, OneBurstReportsEachOutcomeOnce) {
  Pg("down", "pnic1", "A", 0);
  Pg("down", "pnic1", "B", 0);
  Pg("down", "pnic1", "C", 1);
  Pg("down", "pnic1", "D", 2);
  Pg("down", "pnic1", "E", -1);
  Link("down", "pnic1");  // covered by the transitions
  Pass(0.1);
  Send("wisp.net.dvport.uplink.transition.down",
       {Str("pnic2"), Str("switch1"), Str("17"), I32(0), I32(0)});
  Send("wisp.net.dvport.uplink.transition.down",
       {Str("pnic2"), Str("switch1"), Str("18"), I32(1), I32(0)});
  Pass(2);
  EXPECT_EQ(Flares(),
            (Texts{"[tarn.problem.net.connectivity.lost] Lost network connectivity on virtual "
                   "switch \"switch0\". Physical NIC pnic1 is down. Affected port groups: "
                   "\"A\", \"B\"",
                   "[tarn.problem.net.redundancy.lost] Lost uplink redundancy on virtual switch "
                   "\"switch0\". Physical NIC pnic1 is down. Affected port groups: \"C\"",
                   "[tarn.problem.net.redundancy.degraded] Uplink redundancy degraded on virtual "
                   "switch \"switch0\". Physical NIC pnic1 is down. Affected port groups: \"D\"",
                   "[tarn.problem.net.dvport.connectivity.lost] Lost network connectivity on "
                   "DVPorts: \"switch1/17\". Physical NIC pnic2 is down.",
                   "[tarn.problem.net.dvport.redundancy.lost] Lost uplink redundancy on DVPorts: "
                   "\"switch1/18\". Physical NIC pnic2 is down."}));
  // The records went with the report: a new burst is a new evaluation.
  Pg("down", "pnic1", "B", 1);
  Pass(2);
  EXPECT_EQ(Flares().size(), 1u);
}

TEST_F(Net, UnknownVirtualSwitchReportsNothing) {
  Pg("down", "pnic1", "nowhere", 0);
  Pass(2);
  Model(R"({"port_groups": {"A": {"switch": "switch0"}}, "fail": {"GetPortGroupByName": "x"}})");
  Pg("down", "pnic2", "A", 0);
  Pass(2);
  EXPECT_TRUE(Flares().empty());
}

TEST_F(Net, LinkUpClearsItsLossesAndReportsWhatIsRestoredOverall) {
  Pg("down", "pnic1", "A", 0);
  Pass(2);
  Flares();
  Link("up", "pnic3");  // pnic1's loss is still outstanding
  Pass(1);
  EXPECT_EQ(Flares(),
            (Texts{"[tarn.clear.net.pnic.linkstate.up] Physical NIC pnic3 linkstate is up",
                   "[tarn.clear.net.redundancy.restored] Uplink redundancy restored on virtual "
                   "switch , portgroups: . Physical NIC pnic3 is up",
                   "[tarn.clear.net.dvport.redundancy.restored] Uplink redundancy restored on "
                   "DVPorts: . Physical NIC pnic3 is up recently"}));
  Link("up", "pnic1");
  Pass(1);
  EXPECT_EQ(Flares(),
            (Texts{"[tarn.clear.net.pnic.linkstate.up] Physical NIC pnic1 linkstate is up",
                   "[tarn.clear.net.connectivity.restored] Network connectivity restored on "
                   "virtual switch , portgroups: . Physical NIC pnic1 is up",
                   "[tarn.clear.net.dvport.connectivity.restored] Network connectivity restored "
                   "on DVPorts: . Physical NIC pnic1 is up",
                   "[tarn.clear.net.redundancy.restored] Uplink redundancy restored on virtual "
                   "switch , portgroups: . Physical NIC pnic1 is up",
                   "[tarn.clear.net.dvport.redundancy.restored] Uplink redundancy restored on "
                   "DVPorts: . Physical NIC pnic1 is up recently"}));
}

TEST_F(Net, RestorationWaitsUntilNoOtherUplinkHasALoss) {
  Pg("down", "pnic1", "A", 1);
  Pg("down", "pnic2", "B", 1);
  Pg("down", "pnic3", "C", 0);
  Pg("down", "pnic4", "D", 0);
  Pass(2);
  EXPECT_EQ(Flares().size(), 4u);
  Pg("up", "pnic2", "B", 2);  // pnic1 still lacks redundancy
  Pg("up", "pnic4", "D", 1);  // pnic3 still lacks connectivity
  Pass(2);
  EXPECT_TRUE(Flares().empty());
  Pg("up", "pnic1", "A", 2);
  Pg("up", "pnic3", "C", 1);
  Pass(2);
  EXPECT_EQ(Flares(),
            (Texts{"[tarn.clear.net.redundancy.restored] Uplink redundancy restored on virtual "
                   "switch \"switch0\", portgroups: \"B\", \"A\". Physical NIC pnic1 is up",
                   "[tarn.clear.net.connectivity.restored] Network connectivity restored on "
                   "virtual switch \"switch0\", portgroups: \"C\". Physical NIC pnic3 is up"}));
}

TEST_F(Net, WatchdogTurnsADownUpWithinItsDelayIntoOneReset) {
  Send("wisp.net.uplink.watchdog.timeout", {Str("pnic5")});
  EXPECT_EQ(ArmedFor(), 7u);
  Pg("down", "pnic5", "A", 0);
  Pass(1);
  Pg("up", "pnic5", "A", 1);
  Pass(3);  // both evaluations wait for the watchdog's
  EXPECT_TRUE(Flares().empty());
  Pass(3);
  EXPECT_EQ(Flares(), Texts{"[tarn.problem.net.pnic.watchdog.reset] Uplink pnic5 has recovered "
                            "from a transient failure due to watchdog timeout"});
  Link("down", "pnic5");  // back to normal: marks and records are gone
  Pass(1);
  EXPECT_EQ(Flares().size(), 1u);
  Pg("down", "pnic5", "B", 1);
  Pass(2);
  EXPECT_EQ(Flares().size(), 1u);
}

TEST_F(Net, WatchdogWithOnlyDownsReportsTheLoss) {
  Send("wisp.net.uplink.watchdog.timeout", {Str("pnic6")});
  Pg("down", "pnic6", "A", 0);
  Pass(2);
  EXPECT_TRUE(Flares().empty());
  Pass(5);
  EXPECT_EQ(Flares(), Texts{"[tarn.problem.net.connectivity.lost] Lost network connectivity on "
                            "virtual switch \"switch0\". Physical NIC pnic6 is down. Affected "
                            "port groups: \"A\""});
  Pg("up", "pnic6", "A", 1);
  Pass(2);
  EXPECT_EQ(Flares(), Texts{"[tarn.clear.net.connectivity.restored] Network connectivity restored "
                            "on virtual switch \"switch0\", portgroups: \"A\". Physical NIC "
                            "pnic6 is up"});
}

TEST_F(Net, WatchdogWithALinkFlapResetsThenQueuedLinkEntriesStillReport) {
  Send("wisp.net.uplink.watchdog.timeout", {Str("pnic7")});
  clock->Advance(6.2);
  Link("up", "pnic7");
  clock->Advance(0.3);
  Link("down", "pnic7");
  Pass(0.5);  // the watchdog, then both link entries within the second
  Texts got = Flares();
  ASSERT_EQ(got.size(), 7u);
  EXPECT_EQ(got[0].rfind("[tarn.problem.net.pnic.watchdog.reset] Uplink pnic7", 0), 0u);
  EXPECT_EQ(got[1], "[tarn.clear.net.pnic.linkstate.up] Physical NIC pnic7 linkstate is up");
  EXPECT_EQ(got[6], "[tarn.problem.net.pnic.linkstate.down] Physical NIC pnic7 linkstate is down");
}

const char kFlapped[] =
    "[tarn.problem.net.pnic.linkstate.flapping] Taking down physical NIC pnic1 because the link "
    "is flapping.";

std::string Threshold(const std::string &value, const std::string &more = "") {
  return R"({"advanced_options": {"Net": {"LinkFlappingThreshold": )" + value + "}}" + more + "}";
}

TEST_F(Net, FlappingTakesTheNicDownAboveTheThresholdThenCountsAfresh) {
  Model(Threshold("3"));
  for (int i = 1; i <= 8; ++i) {
    NetFlapping_Check("pnic1");
    EXPECT_EQ(TakeDowns("pnic1"), i < 4 ? 0u : i < 8 ? 1u : 2u) << i;
    EXPECT_EQ(Flares(), i == 4 || i == 8 ? Texts{kFlapped} : Texts{}) << i;
    clock->Advance(1);
  }
}

TEST_F(Net, FlappingOffOrUnreadableStillCountsAndPrunes) {
  Model(Threshold("0"));
  for (int i = 0; i < 3; ++i) NetFlapping_Check("pnic1");
  Model(Threshold("2", R"(, "fail": {"Sysi_Get:config_intOpts": 1})"));
  NetFlapping_Check("pnic1");
  EXPECT_EQ(TakeDowns("pnic1"), 0u);
  Model(Threshold("4"));
  NetFlapping_Check("pnic1");  // the fifth within the minute
  EXPECT_EQ(TakeDowns("pnic1"), 1u);

  Model(Threshold("1"));
  NetFlapping_Check("pnic1");
  clock->Advance(61);
  NetFlapping_Check("pnic1");  // the first is pruned
  EXPECT_EQ(TakeDowns("pnic1"), 1u);
  clock->Advance(60);
  NetFlapping_Check("pnic1");  // exactly 60 s on, the previous one counts
  EXPECT_EQ(TakeDowns("pnic1"), 2u);
}

TEST_F(Net, RefusedTakeDownPostsNothingButStartsAfresh) {
  // Only the low 32 bits count: a threshold of 1.
  Model(Threshold("4294967297", R"(, "nics": {"pnic0": {}})"));
  NetFlapping_Check("pnic1");
  NetFlapping_Check("pnic1");
  EXPECT_TRUE(Flares().empty());
  Model(Threshold("4294967297"));
  NetFlapping_Check("pnic1");
  EXPECT_EQ(TakeDowns("pnic1"), 0u);
  NetFlapping_Check("pnic1");
  EXPECT_EQ(TakeDowns("pnic1"), 1u);
  EXPECT_EQ(Flares(), Texts{kFlapped});
}

TEST_F(Net, FailedSwitchLookupIsRetriedOnceAndTheLossReportedOnce) {
  Model(R"({"port_groups": {}})");
  Pg("down", "pnic7", "frontend", 0);
  Pass(2);
  EXPECT_TRUE(Flares().empty());
  Model(R"({"port_groups": {"frontend": {"switch": "switch0"}}})");
  Pass(7);
  EXPECT_EQ(Flares(), Texts{"[tarn.problem.net.connectivity.lost] Lost network connectivity on "
                            "virtual switch \"switch0\". Physical NIC pnic7 is down. Affected "
                            "port groups: \"frontend\""});
  Pass(10);
  EXPECT_TRUE(Flares().empty());

  // Still unknown on the retry: reported without the name, records gone.
  Model(R"({"port_groups": {}})");
  Pg("down", "pnic8", "management", 1);
  Pass(2);
  Pg("down", "pnic8", "management", 1);
  Pass(7);
  EXPECT_EQ(Flares(), Texts{"[tarn.problem.net.redundancy.lost] Lost uplink redundancy on virtual "
                            "switch . Physical NIC pnic8 is down. Affected port groups: "
                            "\"management\", \"management\""});
  Pass(10);
  EXPECT_TRUE(Flares().empty());
}

}  // namespace
