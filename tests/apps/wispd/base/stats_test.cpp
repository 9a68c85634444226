// The counters' snapshot is valid Prometheus text with every sample counted.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>

#include "base/wispdStats.h"

namespace {

TEST(Stats, SnapshotDeclaresEveryMetricOnceBeforeItsSamples) {
  Stats_Reset();
  Stats_SetSource(3);
  Stats_CountRead();
  Stats_CountRead();
  Stats_SetSource(24);
  Stats_CountRead();
  Stats_SetSource(99);  // out of range counts as user-level
  Stats_CountRead();
  Stats_CountFlare("tarn.audit.net.firewall.disabled");
  Stats_CountFlare("tarn.clear.storage.apd.exit");
  Stats_CountFlare("tarn.clear.storage.apd.exit");
  Stats_CountFlare("nonsense");
  Stats_Count(STATS_FLARE_RATE_DROPPED);

  std::istringstream in(Stats_Render(4));
  std::set<std::string> typed, helped;
  std::map<std::string, std::string> samples;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string first, second, name;
    words >> first >> second >> name;
    if (first == "#") {
      ASSERT_TRUE(second == "HELP" || second == "TYPE") << line;
      EXPECT_TRUE((second == "HELP" ? helped : typed).insert(name).second) << "twice: " << line;
      continue;
    }
    std::string metric = first.substr(0, first.find('{'));
    EXPECT_EQ(typed.count(metric), 1u) << "undeclared: " << line;
    EXPECT_EQ(helped.count(metric), 1u) << "no help: " << line;
    samples[first] = second;
  }
  EXPECT_EQ(samples.size(), 54u);
  EXPECT_EQ(samples["wispd_observations_read_total{source=\"3\"}"], "2");
  EXPECT_EQ(samples["wispd_observations_read_total{source=\"user\"}"], "2");
  EXPECT_EQ(samples["wispd_flares_posted_total{kind=\"problem\"}"], "0");
  EXPECT_EQ(samples["wispd_flares_posted_total{kind=\"audit\"}"], "1");
  EXPECT_EQ(samples["wispd_flares_posted_total{kind=\"clear\"}"], "2");
  EXPECT_EQ(samples["wispd_flares_rate_dropped_total"], "1");
  EXPECT_EQ(samples["wispd_flare_queue_length"], "4");
  EXPECT_EQ(samples["wispd_build_info{version=\"" WISPD_PROJECT_VERSION "\"}"], "1");
  char buf[1024];
  Stats_Summary(4, buf, sizeof buf);
  const std::string summary = buf;
  EXPECT_EQ(summary.rfind("Counters at exit: observations read 4, ", 0), 0u) << summary;
  EXPECT_NE(summary.find("flares posted 3 (problem 0, audit 1, clear 2)"), std::string::npos);
  EXPECT_NE(summary.find(", lost with the queue 4, "), std::string::npos);
  const std::string tail = ", log records dropped 0\n";
  EXPECT_EQ(summary.substr(summary.size() - tail.size()), tail);
}

}  // namespace
