// The VFAT correlator's scratch volume, told by the host's /scratch link
// (a scenario cannot plant one). The quiet periods and the other
// correlators of the host's own components are examples/scenarios
// (quiet-periods, user-groups).
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "correlator_kit.h"

using namespace testing_support;

extern const CorrelatorDef kVfatCorrelator;

namespace {

TEST(Vfat, TheScratchLinkTellsTheScratchVolume) {
  CorrelatorKit kit(kVfatCorrelator);
  ASSERT_EQ(symlink("/cairn/volumes/5f3a-11", kit.root.Under("/scratch").c_str()), 0);
  kit.Send("wisp.vfat.filesystem.full", {Str("bootbank"), Str("5f3a-11")});
  kit.Send("wisp.vfat.filesystem.full", {Str("locker"), Str("77aa-02")});
  kit.Send("wisp.vfat.filesystem.full", {Str("bootbank"), Str("5f3a-11")});
  EXPECT_EQ(kit.Texts(),
            (Texts{"[tarn.problem.vfat.filesystem.full.scratch] The host's scratch partition, "
                   "which is the VFAT filesystem bootbank (UUID 5f3a-11), is full.",
                   "[tarn.problem.vfat.filesystem.full.other] The VFAT filesystem locker (UUID "
                   "77aa-02) is full."}));
  // Without the link only a volume named like the link itself is scratch.
  unlink(kit.root.Under("/scratch").c_str());
  kit.Advance(301);
  kit.Send("wisp.vfat.filesystem.full", {Str("bootbank"), Str("5f3a-11")});
  kit.Send("wisp.vfat.filesystem.full", {Str("odd"), Str("scratch")});
  std::vector<PostedFlare> got = kit.Flares();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].id, "tarn.problem.vfat.filesystem.full.other");
  EXPECT_EQ(got[1].id, "tarn.problem.vfat.filesystem.full.scratch");
}

}  // namespace
