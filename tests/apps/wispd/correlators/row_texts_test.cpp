// Rows whose message shows two or more values of one type, checked against
// the texts written out in row_texts.txt: every value is distinct, so a row
// that swaps two of them fails here.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "correlator_kit.h"

using namespace testing_support;

namespace {

std::string Trim(const std::string &s) {
  size_t a = s.find_first_not_of(' '), b = s.find_last_not_of(' ');
  return a == std::string::npos ? "" : s.substr(a, b - a + 1);
}

// One "[Family]" of the file: its rows' id, arguments and expected text.
struct Family {
  std::string name;
  std::vector<std::vector<std::string>> rows;
};
void PrintTo(const Family &f, std::ostream *os) {
  *os << f.name;
}

std::vector<Family> Families() {
  std::ifstream in(WISPD_ROW_TEXTS);
  std::vector<Family> families;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '[') {
      families.push_back({line.substr(1, line.size() - 2), {}});
      continue;
    }
    size_t a = line.find(" | "), b = line.find(" | ", a + 3);
    if (families.empty() || b == std::string::npos) continue;
    std::string text = line.substr(b + 3);
    for (size_t n; (n = text.find("\\n")) != std::string::npos;) text.replace(n, 2, "\n");
    families.back().rows.push_back({Trim(line.substr(0, a)), line.substr(a + 3, b - a - 3), text});
  }
  return families;
}

// The correlator of the agent table whose rows or handlers take the id.
const CorrelatorDef *Owner(const std::string &id) {
  for (const CorrelatorDef *const *def = kCorrelatorDefs; *def != nullptr; ++def) {
    for (size_t i = 0; i < (*def)->rowCount; ++i)
      if (id == (*def)->rows[i].wispId) return *def;
    for (size_t i = 0; i < (*def)->handlerCount; ++i)
      if (id == (*def)->handlers[i].wispId) return *def;
  }
  return nullptr;
}

class RowTexts : public ::testing::TestWithParam<Family> {};

TEST_P(RowTexts, EachValueStandsWhereTheTextSays) {
  const std::vector<std::vector<std::string>> &rows = GetParam().rows;
  ASSERT_FALSE(rows.empty()) << "no rows for " << GetParam().name;
  const CorrelatorDef *def = Owner("wisp." + rows[0][0]);
  ASSERT_NE(def, nullptr) << "no correlator takes wisp." << rows[0][0];
  CorrelatorKit kit(*def);
  for (const std::vector<std::string> &row : rows) {
    EXPECT_EQ(Owner("wisp." + row[0]), def) << row[0] << " is not " << def->name << "'s";
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

INSTANTIATE_TEST_SUITE_P(Families, RowTexts, ::testing::ValuesIn(Families()),
                         [](const ::testing::TestParamInfo<Family> &p) { return p.param.name; });

}  // namespace
