// Rows whose message shows two or more values of one type, checked against
// the texts written out in row_texts.txt: every value is distinct, so a row
// that swaps two of them fails here.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "correlator_kit.h"

using namespace testing_support;

extern const CorrelatorDef kCairnCorrelator, kClockCorrelator, kCpuCorrelator, kGenericCorrelator,
    kHardwareCorrelator, kIscsiCorrelator, kNetCorrelator, kScsiCorrelator, kStrataCorrelator,
    kUserLevelCorrelator;

namespace {

std::string Trim(const std::string &s) {
  size_t a = s.find_first_not_of(' '), b = s.find_last_not_of(' ');
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

// The family's rows: id, arguments, expected text.
std::vector<std::vector<std::string>> RowsOf(const std::string &name) {
  std::ifstream in(WISPD_ROW_TEXTS);
  std::vector<std::vector<std::string>> rows;
  std::string line, at;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      at = line.substr(1, line.size() - 2);
      continue;
    }
    size_t a = line.find(" | "), b = line.find(" | ", a + 3);
    if (at != name || b == std::string::npos) continue;
    std::string text = line.substr(b + 3);
    for (size_t n; (n = text.find("\\n")) != std::string::npos;) text.replace(n, 2, "\n");
    rows.push_back({Trim(line.substr(0, a)), line.substr(a + 3, b - a - 3), text});
  }
  return rows;
}

void Check(const std::string &name, const CorrelatorDef &def, const std::string &model = "") {
  std::vector<std::vector<std::string>> rows = RowsOf(name);
  ASSERT_FALSE(rows.empty()) << "no rows for " << name;
  CorrelatorKit kit(def, model);
  for (const std::vector<std::string> &row : rows) {
    std::vector<tools::Arg> args;
    std::istringstream words(row[1]);
    for (std::string w; words >> w;)
      args.push_back(w.find_first_not_of("0123456789") == std::string::npos ? U64(std::stoull(w))
                                                                            : Str(w));
    kit.Reset();
    kit.Send("wisp." + row[0], args);
    std::vector<std::string> got = kit.Texts();
    if (got.empty()) {  // a deferred row waits for the retry pass
      Flare_RetryPass();
      got = kit.Texts();
    }
    EXPECT_EQ(got, std::vector<std::string>{row[2]}) << row[0];
  }
}

struct Family {
  const char *name;
  const CorrelatorDef *def;
};
void PrintTo(const Family &f, std::ostream *os) {
  *os << f.name;
}
class RowTexts : public ::testing::TestWithParam<Family> {};

TEST_P(RowTexts, EachValueStandsWhereTheTextSays) {
  Check(GetParam().name, *GetParam().def);
}

INSTANTIATE_TEST_SUITE_P(
    Families, RowTexts,
    ::testing::Values(Family{"Cairn", &kCairnCorrelator}, Family{"Clock", &kClockCorrelator},
                      Family{"Cpu", &kCpuCorrelator}, Family{"External", &kGenericCorrelator},
                      Family{"Hardware", &kHardwareCorrelator}, Family{"Iscsi", &kIscsiCorrelator},
                      Family{"Net", &kNetCorrelator}, Family{"Scsi", &kScsiCorrelator},
                      Family{"Strata", &kStrataCorrelator},
                      Family{"UserLevel", &kUserLevelCorrelator}),
    [](const ::testing::TestParamInfo<Family> &p) { return std::string(p.param.name); });

}  // namespace
