// The page-retirement correlator: the selection report's step, the one-off
// not-retired report, platform requests, and the injection watch's kill.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "correlator_kit.h"

using namespace testing_support;

extern const CorrelatorDef kPageRetireCorrelator;

namespace {

typedef std::vector<std::string> Lines;

const char kModel[] = R"({"memory": {"selection_threshold": 1000},
  "advanced_options": {"PageRetire": {"ThresholdInterval": 10, "ApeiLoggingEnabled": 1}},
  "vms": {"81234": {"name": "db-backend-02"}}})";

class PageRetire : public ::testing::Test {
 protected:
  void Selected(uint64_t n) {
    kit.Send("wisp.pageretire.selectedmpnthreshold.host.exceeded", {U64(n)},
             "Number of MPNs selected for retirement is %lu");
  }
  void Inject(uint64_t page, int32_t world, int times) {
    for (int i = 0; i < times; ++i)
      kit.Send("wisp.pageretire.mce.injected", {U64(page), I32(world)},
               "Injected MCE for PPN %lx into virtual machine %d.");
  }
  CorrelatorKit kit{kPageRetireCorrelator, kModel};
};

std::string Exceeds(const char *n) {
  return std::string(
             "[tarn.problem.pageretire.selectedmpnthreshold.host.exceeded] Number of host "
             "physical memory pages that have been selected for retirement (") +
         n + ") exceeds threshold (1000).";
}

TEST_F(PageRetire, SelectionReportsRepeatOnlyAfterGrowingByTheInterval) {
  for (uint64_t n : {900, 1001, 1050, 1101, 1200}) Selected(n);
  EXPECT_EQ(kit.Texts(), Lines({Exceeds("1001"), Exceeds("1101")}));
  for (uint64_t n : {5, 99999}) {
    kit.Send("wisp.pageretire.selectedbutnotretired.high", {U64(n)},
             "Number of selected but not retired MPNs is high: %lu.");
  }
  EXPECT_EQ(kit.Texts(), Lines{"[tarn.problem.pageretire.selectedbutnotretired.high] Number of "
                               "host physical memory pages that have been selected for retirement "
                               "but could not yet be retired is high: 5"});
}

TEST_F(PageRetire, PlatformRequestsNeedPlatformErrorLogging) {
  const char *fmt =
      "Memory page retirement requested by platform firmware. FRU ID: %s. Refer to System "
      "Hardware Log: %s";
  kit.Send("wisp.pageretire.platform.retire.request", {Str("DIMM_A1"), Str("SEL 0x12")}, fmt);
  EXPECT_EQ(kit.Texts(), Lines{"[tarn.problem.pageretire.platform.retire.request] Memory page "
                               "retirement requested by platform firmware. FRU ID: DIMM_A1. Refer "
                               "to System Hardware Log: SEL 0x12"});
  kit.Model(R"({"advanced_options": {"PageRetire": {"ApeiLoggingEnabled": 0}}})");
  kit.Send("wisp.pageretire.platform.retire.request", {Str("DIMM_A1"), Str("SEL 0x12")}, fmt);
  EXPECT_EQ(kit.Texts(), Lines{});
}

TEST_F(PageRetire, AGuestThatKeepsTouchingAPoisonedPageIsKilledOnce) {
  Inject(0x42, 81234, 60);  // within one second: no spread
  Inject(0x43, 81234, 25);
  kit.Advance(3);
  Inject(0x43, 81234, 24);  // another page: counted on its own
  EXPECT_EQ(kit.Texts(), Lines{});
  EXPECT_EQ(kit.Actions(), Lines{});
  Inject(0x43, 81234, 1);
  EXPECT_EQ(kit.Texts(),
            Lines{"[tarn.problem.pageretire.mce.injected.2] Killing db-backend-02 because at "
                  "least 50 uncorrectable memory error machine check exceptions were injected for "
                  "guest physical page 0x43 but the virtual machine's operating system kept using "
                  "the page."});
  Lines actions = kit.Actions();
  ASSERT_EQ(actions.size(), 1u);
  EXPECT_EQ(actions[0].rfind(
                R"({"action":"vm_kill","world_id":81234,"name":"db-backend-02","how":0,)", 0),
            0u);
  Inject(0x43, 81234, 5);
  EXPECT_EQ(kit.Texts(), Lines{});
  // A quiet minute forgets the world: it can be reported again.
  kit.Advance(61);
  Inject(0x43, 81234, 25);
  kit.Advance(2);
  Inject(0x43, 81234, 25);
  EXPECT_EQ(kit.Texts().size(), 1u);
}

TEST_F(PageRetire, AnUnreadableInjectionReportEndsBeforeTheScan) {
  kit.Model(R"({"vms": {}})");  // the lookup fails: tried again on the next report
  Inject(0x43, 81234, 25);
  kit.Advance(3);
  Inject(0x43, 81234, 25);
  EXPECT_EQ(kit.Texts(), Lines{});
  kit.Model(kModel);
  kit.Send("wisp.pageretire.mce.injected", {Str("zz"), I32(81234)},
           "Injected MCE for PPN %s into virtual machine %d.");
  EXPECT_EQ(kit.Texts(), Lines{});
  EXPECT_EQ(kit.Actions(), Lines{});
  Inject(0x43, 81234, 1);
  EXPECT_EQ(kit.Actions().size(), 1u);
}

}  // namespace
