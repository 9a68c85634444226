// The three examples of docs/correlators.md, compiled from the guide itself,
// do what the guide says of them and hold to what the row tests hold every
// correlator of the agent table to.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "correlator_kit.h"

using namespace testing_support;

extern const CorrelatorDef kExampleFanCorrelator, kExampleTrayCorrelator, kExamplePsuCorrelator;

namespace {

// Each row reaches its own table entry, and no id is listed twice.
void ExpectRowsReachable(CorrelatorKit &kit, const CorrelatorDef &def) {
  std::set<std::string> ids;
  for (size_t r = 0; r < def.rowCount; ++r) {
    EXPECT_EQ(kit.Table().at(def.rows[r].wispId).row, &def.rows[r]) << def.rows[r].wispId;
    EXPECT_TRUE(ids.insert(def.rows[r].wispId).second) << def.rows[r].wispId;
  }
  for (size_t h = 0; h < def.handlerCount; ++h)
    EXPECT_TRUE(ids.insert(def.handlers[h].wispId).second) << def.handlers[h].wispId;
}

// The log lines that report a failed read.
Texts Failures(CorrelatorKit &kit) {
  Texts out;
  for (const std::string &line : kit.Logs())
    if (line.rfind("Failed", 0) == 0) out.push_back(line);
  return out;
}

// An observation whose read fails posts nothing and logs one failure naming
// its id.
void ExpectOneFailedRead(CorrelatorKit &kit, const std::string &id,
                         const std::vector<tools::Arg> &args) {
  kit.Send(id, args);
  EXPECT_TRUE(kit.Flares().empty());
  Texts failures = Failures(kit);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].rfind("Failed to correlate " + id + ": ", 0), 0u);
}

TEST(Guide, RowsOnlyShowTheSlotFirstAndLogAFailedRead) {
  CorrelatorKit kit(kExampleFanCorrelator);
  ExpectRowsReachable(kit, kExampleFanCorrelator);
  kit.Send("wisp.example.fan.stopped", {Str("fan1"), U32(3)});
  kit.Send("wisp.example.fan.started", {Str("fan1"), U32(3)});
  std::vector<PostedFlare> got = kit.Flares();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].id, "tarn.problem.example.fan.stopped");
  EXPECT_EQ(got[0].args.dump(), R"([{"u32":3},{"s":"fan1"}])");
  EXPECT_EQ(got[1].id, "tarn.clear.example.fan.started");
  EXPECT_EQ(got[1].args.dump(), R"([{"u32":3},{"s":"fan1"}])");
  // A slot sent as text: the row compiles, but its read fails, and says so.
  ExpectOneFailedRead(kit, "wisp.example.fan.stopped", {Str("fan1"), Str("3")});
}

TEST(Guide, ARowAfterACheckPostsOnlyWhatTheCheckLetsThrough) {
  CorrelatorKit kit(kExampleTrayCorrelator);
  ExpectRowsReachable(kit, kExampleTrayCorrelator);
  kit.Send("wisp.example.tray.opened", {Str("tray0"), I32(0)});
  EXPECT_TRUE(kit.Flares().empty());
  kit.Send("wisp.example.tray.opened", {Str("tray0"), I32(2)});
  kit.Send("wisp.example.tray.closed", {Str("tray0")});
  std::vector<PostedFlare> got = kit.Flares();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].id, "tarn.problem.example.tray.opened");
  EXPECT_EQ(got[0].args.dump(), R"([{"s":"tray0"},{"i32":2}])");
  EXPECT_EQ(got[1].id, "tarn.clear.example.tray.closed");
  EXPECT_TRUE(Failures(kit).empty());
  // A count that cannot be read passes the check and fails the row's read.
  ExpectOneFailedRead(kit, "wisp.example.tray.opened", {Str("tray0"), Str("two")});
}

TEST(Guide, AWindowHoldsBackRepeatsForAnHourAfterEachReport) {
  CorrelatorKit kit(kExamplePsuCorrelator);
  ExpectRowsReachable(kit, kExamplePsuCorrelator);
  kit.Send("wisp.example.psu.restarted", {Str("psu1")});
  kit.Advance(3599);
  kit.Send("wisp.example.psu.restarted", {Str("psu1")});
  kit.Send("wisp.example.psu.restarted", {Str("psu2")});
  kit.Advance(1);
  kit.Send("wisp.example.psu.restarted", {Str("psu1")});
  kit.Advance(1);
  kit.Send("wisp.example.psu.restarted", {Str("psu1")});
  std::vector<std::string> args;
  for (const PostedFlare &f : kit.Flares()) {
    EXPECT_EQ(f.id, "tarn.problem.example.psu.restarted");
    args.push_back(f.args.dump());
  }
  EXPECT_EQ(args, (Texts{R"([{"s":"psu1"},{"i32":1}])", R"([{"s":"psu2"},{"i32":1}])",
                         R"([{"s":"psu1"},{"i32":3}])"}));
  // Reset forgets the counts and the last reports.
  kit.Reset();
  kit.Send("wisp.example.psu.restarted", {Str("psu1")});
  std::vector<PostedFlare> got = kit.Flares();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].args.dump(), R"([{"s":"psu1"},{"i32":1}])");
}

}  // namespace
