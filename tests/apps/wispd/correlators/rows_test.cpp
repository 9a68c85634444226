// Every table row of every correlator, driven from its declared argument
// types: one observation in, one flare out with the row's id, kind and the
// arguments in the row's order.
#include <gtest/gtest.h>
#include <string.h>

#include <set>
#include <string>
#include <vector>

#include "correlator_kit.h"
#include "wispdFlareRow.h"

using namespace testing_support;

namespace {

std::string EventId(const FlareRow &row) {
  const char *id = row.flare + strlen(FLARE_MARKER);
  return std::string(id, strchr(id, ')') - id);
}

// The hubd form of the value the message shows at position i.
std::string ShownValue(const tools::OrderedJson &item) {
  if (item.contains("s")) return item["s"].is_null() ? "null" : item["s"].get<std::string>();
  return item.begin().value().dump();
}

std::string Expected(const FlareRow &row, size_t i) {
  unsigned at = rowcheck::OrderAt(row.order, i);
  if (at == rowcheck::ORDER_LOOKUP) return "";  // whatever the lookup found
  std::string conv = RowConversions(row)[at];
  return conv.back() == 'p' ? "s" + std::to_string(at) : std::to_string(100 + at);
}

// A fail-log text takes the id then the error code, or the code alone.
bool FailLogFits(const char *text) {
  if (text == nullptr) return true;
  const char *s = strstr(text, "%s"), *d = strstr(text, "%d");
  size_t conversions = 0;
  for (const char *p = strchr(text, '%'); p != nullptr; p = strchr(p + 1, '%')) ++conversions;
  return d != nullptr && (s == nullptr ? conversions == 1 : (s < d && conversions == 2));
}

TEST(Rows, EveryRowPostsItsFlareWithItsArgumentsInOrder) {
  size_t rows = 0;
  for (const CorrelatorDef *const *def = kCorrelatorDefs; *def != nullptr; ++def) {
    if ((*def)->rowCount == 0) continue;
    CorrelatorKit kit(**def);
    for (size_t r = 0; r < (*def)->rowCount; ++r, ++rows) {
      const FlareRow &row = (*def)->rows[r];
      SCOPED_TRACE(std::string((*def)->name) + " row " + row.wispId);
      EXPECT_EQ(rowcheck::Check(row.read, row.kind, row.flare, row.order), rowcheck::OK);
      EXPECT_TRUE(FailLogFits(row.failLog)) << row.failLog;
      EXPECT_EQ(strchr(row.order, 'L') != nullptr, row.lookup != nullptr);
      // A hand-written handler of the same id would shadow the row.
      EXPECT_EQ(kit.Table().at(row.wispId).row, &row);

      kit.Reset();
      kit.Send(row.wispId, RowArguments(row));
      if (row.flags & ROW_DEFERRED) {
        EXPECT_TRUE(kit.Flares().empty()) << "a deferred flare was sent at once";
        Flare_RetryPass();
      }
      std::vector<PostedFlare> got = kit.Flares();
      ASSERT_EQ(got.size(), 1u);
      EXPECT_EQ(got[0].id, EventId(row));
      EXPECT_EQ(got[0].kind, row.kind);
      EXPECT_FALSE(got[0].message.empty()) << "hubd does not know the id";
      ASSERT_EQ(got[0].args.size(), strlen(row.order));
      for (size_t i = 0; i < strlen(row.order); ++i) {
        if (rowcheck::OrderAt(row.order, i) == rowcheck::ORDER_LOOKUP) continue;
        EXPECT_EQ(ShownValue(got[0].args[i]), Expected(row, i)) << "message argument " << i;
      }
    }
  }
  EXPECT_GE(rows, 38u);
}

TEST(Rows, AMissingArgumentLogsTheRowsLineAndPostsOnlyWhereTheRowSaysSo) {
  for (const CorrelatorDef *const *def = kCorrelatorDefs; *def != nullptr; ++def) {
    if ((*def)->rowCount == 0) continue;
    CorrelatorKit kit(**def);
    for (size_t r = 0; r < (*def)->rowCount; ++r) {
      const FlareRow &row = (*def)->rows[r];
      if (RowConversions(row).empty()) continue;
      SCOPED_TRACE(row.wispId);
      kit.Reset();
      kit.Send(row.wispId);
      // A row that posts anyway shows null strings and zeros.
      std::vector<PostedFlare> got = kit.Flares();
      if (row.flags & ROW_POST_ON_FAIL) {
        ASSERT_EQ(got.size(), 1u);
        for (const auto &item : got[0].args)
          EXPECT_EQ(ShownValue(item), item.contains("s") ? "null" : "0");
      } else {
        EXPECT_TRUE(got.empty());
      }
      std::vector<std::string> logs = kit.Logs();
      if (row.failLog != nullptr) {
        // The observation, the row's line, then the flare of a row that posts anyway.
        ASSERT_EQ(logs.size(), row.flags & ROW_POST_ON_FAIL ? 3u : 2u);
        EXPECT_EQ(logs[1].substr(0, 12), std::string(row.failLog).substr(0, 12));
      }
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
  EXPECT_STRNE(Describe(TYPE_MISMATCH), Describe(ORDER_RANGE));
}

}  // namespace
