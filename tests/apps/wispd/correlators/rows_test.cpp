// Every table row of every correlator, driven from its declared argument
// types: each reaches its handler, posts one flare of a known kind that hubd
// can show, and a read failure neither stops the correlator nor shows
// values it did not read. Argument order and texts are checked against
// written-out texts in row_texts_test.
#include <gtest/gtest.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

#include "correlator_kit.h"
#include "output/wispdFlareRow.h"

using namespace testing_support;

namespace {

bool KnownKind(const std::string &id) {
  for (const char *prefix : {"tarn.problem.", "tarn.audit.", "tarn.clear."})
    if (id.rfind(prefix, 0) == 0 && id.size() > strlen(prefix)) return true;
  return false;
}

// One flare, also for a row that waits for the retry pass.
std::vector<PostedFlare> Posted(CorrelatorKit &kit) {
  std::vector<PostedFlare> got = kit.Flares();
  if (!got.empty()) return got;
  Flare_RetryPass();
  return kit.Flares();
}

TEST(Rows, EveryRowReachesItsHandlerAndPostsOneFlareHubdCanShow) {
  size_t rows = 0;
  for (const CorrelatorDef *const *def = kCorrelatorDefs; *def != nullptr; ++def) {
    if ((*def)->rowCount == 0) continue;
    CorrelatorKit kit(**def);
    for (size_t r = 0; r < (*def)->rowCount; ++r, ++rows) {
      const FlareRow &row = (*def)->rows[r];
      SCOPED_TRACE(std::string((*def)->name) + " row " + row.wispId);
      // A hand-written handler of the same id would shadow the row.
      EXPECT_EQ(kit.Table().at(row.wispId).row, &row);
      kit.Reset();
      kit.Send(row.wispId, RowArguments(row));
      std::vector<PostedFlare> got = Posted(kit);
      ASSERT_EQ(got.size(), 1u);
      EXPECT_TRUE(KnownKind(got[0].id)) << got[0].id;
      EXPECT_FALSE(got[0].message.empty()) << "hubd does not know " << got[0].id;
    }
  }
  EXPECT_GE(rows, 38u);
}

// Without its arguments a row posts nothing or shows null strings and zeros,
// and the correlator goes on: the same row with its arguments still posts.
TEST(Rows, AMissingArgumentShowsNoValueNotReadAndTheRowStillWorksAfter) {
  for (const CorrelatorDef *const *def = kCorrelatorDefs; *def != nullptr; ++def) {
    if ((*def)->rowCount == 0) continue;
    CorrelatorKit kit(**def);
    for (size_t r = 0; r < (*def)->rowCount; ++r) {
      const FlareRow &row = (*def)->rows[r];
      if (RowConversions(row).empty()) continue;
      SCOPED_TRACE(row.wispId);
      kit.Reset();
      kit.Send(row.wispId);
      std::vector<PostedFlare> got = Posted(kit);
      ASSERT_LE(got.size(), 1u);
      for (const PostedFlare &f : got) {
        for (const auto &item : f.args) {
          if (item.contains("s"))
            EXPECT_TRUE(item["s"].is_null()) << item.dump();
          else
            EXPECT_EQ(item.begin().value().dump(), "0") << item.dump();
        }
      }
      kit.Send(row.wispId, RowArguments(row));
      EXPECT_EQ(Posted(kit).size(), 1u);
    }
  }
}

TEST(Rows, NoIdIsListedTwiceInOneCorrelator) {
  for (const CorrelatorDef *const *def = kCorrelatorDefs; *def != nullptr; ++def) {
    std::set<std::string> ids;
    for (size_t r = 0; r < (*def)->rowCount; ++r)
      EXPECT_TRUE(ids.insert((*def)->rows[r].wispId).second)
          << (*def)->name << " lists " << (*def)->rows[r].wispId << " twice";
    for (size_t h = 0; h < (*def)->handlerCount; ++h)
      EXPECT_TRUE(ids.insert((*def)->handlers[h].wispId).second)
          << (*def)->name << " lists " << (*def)->handlers[h].wispId << " twice";
  }
}

// Rows as a careless hand would write them; WISPD_ROW would not compile them.
TEST(Rows, TheCheckRejectsWrongTypesOrderAndKind) {
  using namespace rowcheck;
  const char kFlare[] = "@&!*@*@(tarn.problem.test.row)disk %s has %d errors";
  EXPECT_EQ(Check("%p %d", FLARE_PROBLEM, kFlare, "01"), OK);
  EXPECT_EQ(Check("%d %p", FLARE_PROBLEM, kFlare, "01"), TYPE_MISMATCH);
  EXPECT_EQ(Check("%p %d", FLARE_PROBLEM, kFlare, "10"), TYPE_MISMATCH);
  EXPECT_EQ(Check("%p %d", FLARE_PROBLEM, kFlare, "0"), ORDER_LENGTH);
  EXPECT_EQ(Check("%p", FLARE_PROBLEM, kFlare, "01"), ORDER_RANGE);
  EXPECT_EQ(Check("%p %d", FLARE_CLEAR, kFlare, "01"), KIND_MISMATCH);
  EXPECT_EQ(Check("%p %d", FLARE_AUDIT, "tarn.audit.x)m", ""), NO_MARKER);
  EXPECT_EQ(Check("%p %f", FLARE_PROBLEM, kFlare, "01"), BAD_CONVERSION);
  EXPECT_EQ(Check("%p", FLARE_PROBLEM, "@&!*@*@(tarn.problem.t)%s %ls", "00"), BAD_CONVERSION);
  // A lookup fills strings only; "%#x" shows an int; "%ld" a 64-bit value.
  EXPECT_EQ(Check("%p", FLARE_PROBLEM, "@&!*@*@(tarn.problem.t)%s on %s", "0L"), OK);
  EXPECT_EQ(Check("", FLARE_PROBLEM, "@&!*@*@(tarn.problem.t)%d", "L"), TYPE_MISMATCH);
  EXPECT_EQ(Check("%d %lu", FLARE_AUDIT, "@&!*@*@(tarn.audit.t)%#x %ld 100%%", "01"), OK);
}

}  // namespace
