// The page-retirement correlator's injection watch: which injections count
// toward a kill, once per world. The selection and not-retired reports and
// platform requests are examples/scenarios/page-retirement.yaml.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "correlator_kit.h"

using namespace testing_support;

extern const CorrelatorDef kPageRetireCorrelator;

namespace {

const char kModel[] =
    R"({"memory": {"selection_threshold": 1000}, "vms": {"81234": {"name": "db-backend-02"}}})";

class PageRetire : public ::testing::Test {
 protected:
  void Inject(uint64_t page, int32_t world, int times) {
    for (int i = 0; i < times; ++i)
      kit.Send("wisp.pageretire.mce.injected", {U64(page), I32(world)},
               "Injected MCE for PPN %lx into virtual machine %d.");
  }
  CorrelatorKit kit{kPageRetireCorrelator, kModel};
};

TEST_F(PageRetire, AGuestThatKeepsTouchingAPoisonedPageIsKilledOnce) {
  Inject(0x42, 81234, 60);  // within one second: no spread
  Inject(0x43, 81234, 25);
  kit.Advance(3);
  Inject(0x43, 81234, 24);  // another page: counted on its own
  EXPECT_EQ(kit.Texts(), Texts{});
  EXPECT_EQ(kit.Actions(), Texts{});
  Inject(0x43, 81234, 1);
  EXPECT_EQ(kit.Texts(),
            Texts{"[tarn.problem.pageretire.mce.injected.2] Killing db-backend-02 because at "
                  "least 50 uncorrectable memory error machine check exceptions were injected for "
                  "guest physical page 0x43 but the virtual machine's operating system kept using "
                  "the page."});
  Texts actions = kit.Actions();
  ASSERT_EQ(actions.size(), 1u);
  EXPECT_EQ(actions[0].rfind(
                R"({"action":"vm_kill","world_id":81234,"name":"db-backend-02","how":0,)", 0),
            0u);
  Inject(0x43, 81234, 5);
  EXPECT_EQ(kit.Texts(), Texts{});
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
  EXPECT_EQ(kit.Texts(), Texts{});
  kit.Model(kModel);
  kit.Send("wisp.pageretire.mce.injected", {Str("zz"), I32(81234)},
           "Injected MCE for PPN %s into virtual machine %d.");
  EXPECT_EQ(kit.Texts(), Texts{});
  EXPECT_EQ(kit.Actions(), Texts{});
  Inject(0x43, 81234, 1);
  EXPECT_EQ(kit.Actions().size(), 1u);
}

}  // namespace
