// The network correlator in process: timing within a second, which a
// scenario's whole seconds cannot show. Bursts, restorations, watchdog
// resets, switch lookups and link flapping are examples/scenarios
// (uplink-*.yaml, link-flapping.yaml).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "base/wispdTimer.h"
#include "correlator_kit.h"
#include "correlators/network/wispdNetRedundancy.h"

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
  void PgDown(const std::string &nic, const std::string &pg, int32_t count) {
    Send("wisp.net.pg.uplink.transition.down", {Str(nic), Str(pg), I32(count), I32(9)});
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

  CorrelatorKit kit{kNetCorrelator, kSwitch0};
  FakeClock *clock = kit.clock.get();
};

TEST_F(Net, DueWithinTheComingSecondRunsNowLaterReArms) {
  Link("down", "pnic0");
  EXPECT_EQ(ArmedFor(), 1u);
  clock->Advance(0.5);
  PgDown("pnic1", "A", 0);  // due 2.5 s from the start
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

TEST_F(Net, UnknownVirtualSwitchReportsNothing) {
  PgDown("pnic1", "nowhere", 0);
  Pass(2);
  Model(R"({"port_groups": {"A": {"switch": "switch0"}}, "fail": {"GetPortGroupByName": "x"}})");
  PgDown("pnic2", "A", 0);
  Pass(2);
  EXPECT_TRUE(Flares().empty());
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

}  // namespace
