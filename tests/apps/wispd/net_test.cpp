// The network correlator in-process: observations through its handler table,
// time through a fake clock, flares read from the log.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "fake_clock.h"
#include "records.h"
#include "sandbox.h"
#include "wispdCorrelator.h"
#include "wispdLog.h"
#include "wispdNetCorrelator.h"
#include "wispdNetFlapping.h"
#include "wispdNetRedundancy.h"
#include "wispdTimer.h"

using namespace testing_support;

namespace {

const char kVSwitch0[] =
    R"({"port_groups": {"A": {"vswitch": "vSwitch0"}, "B": {"vswitch": "vSwitch0"},
        "C": {"vswitch": "vSwitch0"}, "D": {"vswitch": "vSwitch0"}}})";

class Net : public ::testing::Test {
 protected:
  void SetUp() override {
    static int64_t start = 1800000000;
    start += 10000;  // a flare rate window of its own
    clock = std::make_unique<FakeClock>(start);
    static int timer = Timer_Create([] {});  // the service has only 16
    timerId = timer;
    NetRedundancy_SetTimer(timer);
    NetRedundancy_Reset();
    NetCorrelator_AddHandlers(&table);
    Model(kVSwitch0);
  }

  void Model(const std::string &json) { root.WriteFile("/etc/pelldan/simhost.json", json); }

  void Send(const std::string &id, const std::vector<tools::Arg> &args) {
    std::string raw = Record(id, args);
    void *copy = malloc(raw.size());
    memcpy(copy, raw.data(), raw.size());
    Wisp *wisp = nullptr;
    Wisp_MakeWisp(copy, raw.size(), &wisp);
    ASSERT_NE(wisp, nullptr);
    Correlator_Dispatch(Correlator_IgnoreWisp, table, wisp);
    Wisp_Free(wisp);
  }
  void Link(const char *state, const std::string &nic) {
    Send(std::string("wisp.net.pnic.linkstate.") + state, {Str(nic)});
  }
  void Pg(const char *dir, const std::string &nic, const std::string &pg, int32_t count) {
    Send(std::string("wisp.net.pg.uplink.transition.") + dir,
         {Str(nic), Str(pg), I32(count), I32(9)});
  }

  // Moves the clock, then the timer's wake-up runs.
  void Pass(double seconds) {
    clock->Advance(seconds);
    NetRedundancy_Timeout();
  }

  // Seconds the network timer was last armed for; disarms it.
  unsigned ArmedFor() {
    unsigned remaining = 0;
    Timer_Set(timerId, TIMER_ONESHOT, 0, &remaining);
    return remaining;
  }

  // "[event id] message" of each flare posted since the last call.
  std::vector<std::string> Flares() {
    std::string mark = "net test sync " + std::to_string(++syncs);
    Log("%s\n", mark.c_str());
    EXPECT_TRUE(log.WaitFor(mark));
    std::vector<std::string> all = log.Messages(), out;
    for (; seen < all.size(); ++seen) {
      size_t at = all[seen].find("us: [tarn.");
      if (at == std::string::npos) continue;
      out.push_back(all[seen].substr(at + 4, all[seen].size() - at - 5));  // without "\n"
    }
    return out;
  }

  size_t TakeDowns(const std::string &nic) {
    size_t n = 0;
    for (const std::string &line : Lines(root.Under("/var/log/pelldan/simhost-actions.jsonl")))
      n += line.find(R"({"action":"nic_down","nic":")" + nic + R"(","value":1,)") == 0;
    return n;
  }

  Root root;
  LogCapture log{root};
  std::unique_ptr<FakeClock> clock;
  WispHandlerTable table;
  int timerId = -1;
  size_t seen = 0;
  int syncs = 0;
};

typedef std::vector<std::string> Texts;

TEST_F(Net, DueWithinTheComingSecondRunsNowLaterReArms) {
  Link("down", "vmnic0");
  EXPECT_EQ(ArmedFor(), 1u);
  clock->Advance(0.5);
  Pg("down", "vmnic1", "A", 0);  // due 2.5 s from the start
  Pass(0.5);
  EXPECT_EQ(Flares(),
            Texts{"[tarn.problem.net.pnic.linkstate.down] Physical NIC vmnic0 linkstate is down"});
  EXPECT_EQ(ArmedFor(), 1u);  // 1.5 s to go
  Pass(0.6);
  EXPECT_EQ(Flares(), Texts{"[tarn.problem.net.connectivity.lost] Lost network connectivity on "
                            "virtual switch \"vSwitch0\". Physical NIC vmnic1 is down. Affected "
                            "port groups: \"A\""});

  Link("down", "vmnic2");
  Pass(0);  // exactly one second away still waits
  EXPECT_EQ(ArmedFor(), 1u);
  EXPECT_TRUE(Flares().empty());
  Pass(2e-9);
  EXPECT_EQ(Flares().size(), 1u);
}

TEST_F(Net, OneBurstReportsEachOutcomeOnce) {
  Pg("down", "vmnic1", "A", 0);
  Pg("down", "vmnic1", "B", 0);
  Pg("down", "vmnic1", "C", 1);
  Pg("down", "vmnic1", "D", 2);
  Pg("down", "vmnic1", "E", -1);
  Link("down", "vmnic1");  // covered by the transitions
  Pass(0.1);
  Send("wisp.net.dvport.uplink.transition.down",
       {Str("vmnic2"), Str("dvs1"), Str("17"), I32(0), I32(0)});
  Send("wisp.net.dvport.uplink.transition.down",
       {Str("vmnic2"), Str("dvs1"), Str("18"), I32(1), I32(0)});
  Pass(2);
  EXPECT_EQ(Flares(),
            (Texts{"[tarn.problem.net.connectivity.lost] Lost network connectivity on virtual "
                   "switch \"vSwitch0\". Physical NIC vmnic1 is down. Affected port groups: "
                   "\"A\", \"B\"",
                   "[tarn.problem.net.redundancy.lost] Lost uplink redundancy on virtual switch "
                   "\"vSwitch0\". Physical NIC vmnic1 is down. Affected port groups: \"C\"",
                   "[tarn.problem.net.redundancy.degraded] Uplink redundancy degraded on virtual "
                   "switch \"vSwitch0\". Physical NIC vmnic1 is down. Affected port groups: \"D\"",
                   "[tarn.problem.net.dvport.connectivity.lost] Lost network connectivity on "
                   "DVPorts: \"dvs1/17\". Physical NIC vmnic2 is down.",
                   "[tarn.problem.net.dvport.redundancy.lost] Lost uplink redundancy on DVPorts: "
                   "\"dvs1/18\". Physical NIC vmnic2 is down."}));
  // The records went with the report: a new burst is a new evaluation.
  Pg("down", "vmnic1", "B", 1);
  Pass(2);
  EXPECT_EQ(Flares().size(), 1u);
}

TEST_F(Net, UnknownVirtualSwitchReportsNothing) {
  Pg("down", "vmnic1", "nowhere", 0);
  Pass(2);
  Model(R"({"port_groups": {"A": {"vswitch": "vSwitch0"}}, "fail": {"GetPortGroupByName": "x"}})");
  Pg("down", "vmnic2", "A", 0);
  Pass(2);
  EXPECT_TRUE(Flares().empty());
}

TEST_F(Net, LinkUpClearsItsLossesAndReportsWhatIsRestoredOverall) {
  Pg("down", "vmnic1", "A", 0);
  Pass(2);
  Flares();
  Link("up", "vmnic3");  // vmnic1's loss is still outstanding
  Pass(1);
  EXPECT_EQ(Flares(),
            (Texts{"[tarn.clear.net.pnic.linkstate.up] Physical NIC vmnic3 linkstate is up",
                   "[tarn.clear.net.redundancy.restored] Uplink redundancy restored on virtual "
                   "switch , portgroups: . Physical NIC vmnic3 is up",
                   "[tarn.clear.net.dvport.redundancy.restored] Uplink redundancy restored on "
                   "DVPorts: . Physical NIC vmnic3 is up recently"}));
  Link("up", "vmnic1");
  Pass(1);
  EXPECT_EQ(Flares(),
            (Texts{"[tarn.clear.net.pnic.linkstate.up] Physical NIC vmnic1 linkstate is up",
                   "[tarn.clear.net.connectivity.restored] Network connectivity restored on "
                   "virtual switch , portgroups: . Physical NIC vmnic1 is up",
                   "[tarn.clear.net.dvport.connectivity.restored] Network connectivity restored "
                   "on DVPorts: . Physical NIC vmnic1 is up",
                   "[tarn.clear.net.redundancy.restored] Uplink redundancy restored on virtual "
                   "switch , portgroups: . Physical NIC vmnic1 is up",
                   "[tarn.clear.net.dvport.redundancy.restored] Uplink redundancy restored on "
                   "DVPorts: . Physical NIC vmnic1 is up recently"}));
}

TEST_F(Net, RestorationWaitsUntilNoOtherUplinkHasALoss) {
  Pg("down", "vmnic1", "A", 1);
  Pg("down", "vmnic2", "B", 1);
  Pg("down", "vmnic3", "C", 0);
  Pg("down", "vmnic4", "D", 0);
  Pass(2);
  EXPECT_EQ(Flares().size(), 4u);
  Pg("up", "vmnic2", "B", 2);  // vmnic1 still lacks redundancy
  Pg("up", "vmnic4", "D", 1);  // vmnic3 still lacks connectivity
  Pass(2);
  EXPECT_TRUE(Flares().empty());
  Pg("up", "vmnic1", "A", 2);
  Pg("up", "vmnic3", "C", 1);
  Pass(2);
  EXPECT_EQ(Flares(),
            (Texts{"[tarn.clear.net.redundancy.restored] Uplink redundancy restored on virtual "
                   "switch \"vSwitch0\", portgroups: \"B\", \"A\". Physical NIC vmnic1 is up",
                   "[tarn.clear.net.connectivity.restored] Network connectivity restored on "
                   "virtual switch \"vSwitch0\", portgroups: \"C\". Physical NIC vmnic3 is up"}));
}

TEST_F(Net, WatchdogTurnsADownUpWithinItsDelayIntoOneReset) {
  Send("wisp.net.uplink.watchdog.timeout", {Str("vmnic5")});
  EXPECT_EQ(ArmedFor(), 7u);
  Pg("down", "vmnic5", "A", 0);
  Pass(1);
  Pg("up", "vmnic5", "A", 1);
  Pass(3);  // both evaluations wait for the watchdog's
  EXPECT_TRUE(Flares().empty());
  Pass(3);
  EXPECT_EQ(Flares(), Texts{"[tarn.problem.net.pnic.watchdog.reset] Uplink vmnic5 has recovered "
                            "from a transient failure due to watchdog timeout"});
  Link("down", "vmnic5");  // back to normal: marks and records are gone
  Pass(1);
  EXPECT_EQ(Flares().size(), 1u);
  Pg("down", "vmnic5", "B", 1);
  Pass(2);
  EXPECT_EQ(Flares().size(), 1u);
}

TEST_F(Net, WatchdogWithOnlyDownsReportsTheLoss) {
  Send("wisp.net.uplink.watchdog.timeout", {Str("vmnic6")});
  Pg("down", "vmnic6", "A", 0);
  Pass(2);
  EXPECT_TRUE(Flares().empty());
  Pass(5);
  EXPECT_EQ(Flares(), Texts{"[tarn.problem.net.connectivity.lost] Lost network connectivity on "
                            "virtual switch \"vSwitch0\". Physical NIC vmnic6 is down. Affected "
                            "port groups: \"A\""});
  Pg("up", "vmnic6", "A", 1);
  Pass(2);
  EXPECT_EQ(Flares(), Texts{"[tarn.clear.net.connectivity.restored] Network connectivity restored "
                            "on virtual switch \"vSwitch0\", portgroups: \"A\". Physical NIC "
                            "vmnic6 is up"});
}

TEST_F(Net, WatchdogWithALinkFlapResetsThenQueuedLinkEntriesStillReport) {
  Send("wisp.net.uplink.watchdog.timeout", {Str("vmnic7")});
  clock->Advance(6.2);
  Link("up", "vmnic7");
  clock->Advance(0.3);
  Link("down", "vmnic7");
  Pass(0.5);  // the watchdog, then both link entries within the second
  Texts got = Flares();
  ASSERT_EQ(got.size(), 7u);
  EXPECT_EQ(got[0].rfind("[tarn.problem.net.pnic.watchdog.reset] Uplink vmnic7", 0), 0u);
  EXPECT_EQ(got[1], "[tarn.clear.net.pnic.linkstate.up] Physical NIC vmnic7 linkstate is up");
  EXPECT_EQ(got[6], "[tarn.problem.net.pnic.linkstate.down] Physical NIC vmnic7 linkstate is down");
}

const char kFlapped[] =
    "[tarn.problem.net.pnic.linkstate.flapping] Taking down physical NIC vmnic1 because the link "
    "is flapping.";

std::string Threshold(const std::string &value, const std::string &more = "") {
  return R"({"advanced_options": {"Net": {"LinkFlappingThreshold": )" + value + "}}" + more + "}";
}

TEST_F(Net, FlappingTakesTheNicDownAboveTheThresholdThenCountsAfresh) {
  Model(Threshold("3"));
  for (int i = 1; i <= 8; ++i) {
    NetFlapping_Check("vmnic1");
    EXPECT_EQ(TakeDowns("vmnic1"), i < 4 ? 0u : i < 8 ? 1u : 2u) << i;
    EXPECT_EQ(Flares(), i == 4 || i == 8 ? Texts{kFlapped} : Texts{}) << i;
    clock->Advance(1);
  }
}

TEST_F(Net, FlappingOffOrUnreadableStillCountsAndPrunes) {
  Model(Threshold("0"));
  for (int i = 0; i < 3; ++i) NetFlapping_Check("vmnic1");
  Model(Threshold("2", R"(, "fail": {"Sysi_Get:config_intOpts": 1})"));
  NetFlapping_Check("vmnic1");
  EXPECT_EQ(TakeDowns("vmnic1"), 0u);
  Model(Threshold("4"));
  NetFlapping_Check("vmnic1");  // the fifth within the minute
  EXPECT_EQ(TakeDowns("vmnic1"), 1u);

  Model(Threshold("1"));
  NetFlapping_Check("vmnic1");
  clock->Advance(61);
  NetFlapping_Check("vmnic1");  // the first is pruned
  EXPECT_EQ(TakeDowns("vmnic1"), 1u);
  clock->Advance(60);
  NetFlapping_Check("vmnic1");  // exactly 60 s on, the previous one counts
  EXPECT_EQ(TakeDowns("vmnic1"), 2u);
}

TEST_F(Net, RefusedTakeDownPostsNothingButStartsAfresh) {
  // Only the low 32 bits count: a threshold of 1.
  Model(Threshold("4294967297", R"(, "nics": {"vmnic0": {}})"));
  NetFlapping_Check("vmnic1");
  NetFlapping_Check("vmnic1");
  EXPECT_TRUE(Flares().empty());
  Model(Threshold("4294967297"));
  NetFlapping_Check("vmnic1");
  EXPECT_EQ(TakeDowns("vmnic1"), 0u);
  NetFlapping_Check("vmnic1");
  EXPECT_EQ(TakeDowns("vmnic1"), 1u);
  EXPECT_EQ(Flares(), Texts{kFlapped});
}

TEST_F(Net, FailedSwitchLookupIsRetriedOnceAndTheLossReportedOnce) {
  Model(R"({"port_groups": {}})");
  Pg("down", "pnic7", "frontend", 0);
  Pass(2);
  EXPECT_TRUE(Flares().empty());
  Model(R"({"port_groups": {"frontend": {"vswitch": "switch0"}}})");
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
