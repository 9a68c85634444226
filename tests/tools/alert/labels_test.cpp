// Label sets as alerts hold them: what goes in comes out, and alerts keep
// the order and the identity their labels' key text gave them.
#include "labels.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

using wispalert::LabelPool;
using wispalert::Labels;
using Pairs = std::vector<std::pair<std::string_view, std::string_view>>;

namespace {

std::vector<std::pair<std::string, std::string>> Read(const Labels &labels) {
  std::vector<std::pair<std::string, std::string>> out;
  labels.ForEach([&](std::string_view n, std::string_view v) { out.emplace_back(n, v); });
  return out;
}

TEST(Labels, GiveBackTheirNamesAndValuesInNameOrder) {
  LabelPool pool;
  Labels l = pool.Make({{"kind", "problem"},
                        {"device", "naa.1"},
                        {"host", "h1"},
                        {"alertname", "tarn.problem.storage.apd.start"},
                        {"switch", "switch0"},
                        {"device", "naa.2"}});  // the last value counts
  using P = std::pair<std::string, std::string>;
  EXPECT_EQ(Read(l), (std::vector<P>{{"alertname", "tarn.problem.storage.apd.start"},
                                     {"device", "naa.2"},
                                     {"host", "h1"},
                                     {"kind", "problem"},
                                     {"switch", "switch0"}}));
  EXPECT_EQ(l.Get("switch"), "switch0");
  EXPECT_EQ(l.Get("nic"), "");
  // A value longer than a length byte holds, and one with every byte.
  std::string big(70000, 'x'), bytes;
  for (int c = 0; c < 256; ++c) bytes += static_cast<char>(c);
  Labels m = pool.Make({{"host", big}, {"device", bytes}, {"nic", ""}, {"alertname", bytes}});
  EXPECT_EQ(Read(m),
            (std::vector<P>{{"alertname", bytes}, {"device", bytes}, {"host", big}, {"nic", ""}}));
  EXPECT_EQ(Read(Labels()), std::vector<P>{});
}

// The key text the forwarder has always ordered alerts by.
std::string KeyText(const std::map<std::string, std::string> &labels) {
  std::string key;
  for (const auto &l : labels) key += l.first + '\x1f' + l.second + '\x1e';
  return key;
}

// Names and values of the bytes next to the separators, empty ones, and
// prefixes of one another: two label sets compare as their key texts do,
// equal ones included (a set whose text is another's is the same alert).
TEST(Labels, CompareAsTheirKeyTextsDo) {
  const std::vector<std::string> names = {"alertname", "host", "device", "a",   "a\x1f",
                                          "a\x1e",     "",     "ab",     "kind"};
  const std::vector<std::string> values = {"",
                                           "x",
                                           "x\x1e",
                                           "x\x1f",
                                           "\x1e",
                                           "\x1f"
                                           "a",
                                           std::string("\0", 1),
                                           "xy",
                                           "\xff"};
  std::mt19937 random(7);
  auto pick = [&random](const std::vector<std::string> &from) {
    return from[std::uniform_int_distribution<size_t>(0, from.size() - 1)(random)];
  };
  LabelPool pool;
  std::vector<std::map<std::string, std::string>> sets;
  std::vector<Labels> made;
  for (int n = 0; n < 400; ++n) {
    std::map<std::string, std::string> set;
    for (int k = std::uniform_int_distribution<int>(0, 3)(random); k > 0; --k)
      set[pick(names)] = pick(values);
    Pairs pairs(set.begin(), set.end());
    sets.push_back(set);
    made.push_back(pool.Make(pairs));
  }
  int equal = 0;
  for (size_t i = 0; i < sets.size(); ++i) {
    for (size_t j = 0; j < sets.size(); ++j) {
      int want = KeyText(sets[i]).compare(KeyText(sets[j]));
      int got = Labels::Compare(made[i], made[j]);
      ASSERT_EQ(want < 0, got < 0) << i << " " << j;
      ASSERT_EQ(want == 0, got == 0) << i << " " << j;
      equal += i != j && want == 0;
    }
  }
  EXPECT_GT(equal, 0) << "no two sets alike: the equal case went untried";
  // Different sets of one text: one alert, as they always were.
  EXPECT_EQ(pool.Make({{"device",
                        "b\x1e"
                        "nic\x1f"
                        "d"}}),
            pool.Make({{"device", "b"}, {"nic", "d"}}));
}

// Flare ids come from the journal: made-up ones, each raised and forgotten,
// must not pile up in the pool.
TEST(Labels, ShapesNoAlertUsesAreForgotten) {
  LabelPool pool;
  std::vector<std::string> ids;
  for (int i = 0; i < 10000; ++i) ids.push_back("tarn.problem.made.up." + std::to_string(i));
  for (const std::string &id : ids) {
    Labels l = pool.Make({{"alertname", id}, {"host", "h1"}, {"device", "naa.1"}});
    ASSERT_EQ(l.Get("alertname"), id);
  }
  EXPECT_LE(pool.Shapes(), 200u);
  // Those in use stay, and a set made again is the same alert.
  std::vector<Labels> held;
  for (int i = 0; i < 500; ++i)
    held.push_back(pool.Make({{"alertname", ids[i]}, {"device", "naa.1"}}));
  for (int i = 0; i < 2000; ++i) pool.Make({{"alertname", ids[i]}});
  EXPECT_GE(pool.Shapes(), 500u);
  for (int i = 0; i < 500; ++i)
    EXPECT_EQ(pool.Make({{"device", "naa.1"}, {"alertname", ids[i]}}), held[i]);
}

}  // namespace
