// Network observations from wisp-emit through the daemon to hubd.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <string>

#include "sandbox.h"
#include "wispjson.h"

using namespace testing_support;

namespace {

// hubd's lines as event id -> messages.
std::multimap<std::string, std::string> ById(const std::vector<std::string> &lines) {
  std::multimap<std::string, std::string> out;
  for (const std::string &line : lines) {
    tools::Json j = tools::Json::parse(line);
    out.emplace(j["id"].get<std::string>(), j["message"].get<std::string>());
  }
  return out;
}

std::string Observation(const std::string &id, const std::string &args) {
  return R"({"id": "wisp.net.)" + id + R"(", "args": [)" + args + "]}\n";
}

std::string Fence(int reason) {
  return Observation("fence.port.fail", R"({"s": "p1"}, {"s": "switch1"}, {"i32": )" +
                                            std::to_string(reason) + R"(}, {"i32": 7})");
}

// Table rows are the generic row test's; here the hand-written handlers and
// one reordering row, through the real daemon.
TEST(NetEndToEnd, HandlersAndAReorderingRowReachHubd) {
  Host host(R"({"vm_groups": {"4242": {"name": "web-frontend-01"}}})");
  std::string lines =
      Observation("portset.port.connect.fail", R"({"s": "a0"}, {"s": "a1"}, {"s": "a2"})");
  lines += Fence(0xbad0007) + Fence(0xbad0002) + Fence(0) + Fence(0xbad0014);
  lines += Observation("e1000.tso6.notsupported", R"({"i32": 4242})");
  // None of these posts: an unknown VM group, a missing or mistyped argument.
  lines += Observation("e1000.tso6.notsupported", R"({"i32": 99})");
  lines += Observation("mantlenic.ip.duplicate", R"({"s": "10.0.0.1"}, {"s": "mnic0"})");
  lines += Observation("firewall.port.hooked", R"({"i32": 1})");
  lines += Observation("fence.port.fail", R"({"s": "p1"}, {"s": "switch1"}, {"i32": 0})");
  ASSERT_EQ(host.Emit(lines), 0);
  ASSERT_TRUE(host.WaitForFlares(6));
  usleep(300000);
  std::multimap<std::string, std::string> got = ById(host.Flares());
  ASSERT_EQ(got.size(), 6u);

  std::map<std::string, std::string> messages = {
      {"tarn.problem.net.proxyswitch.port.unavailable",
       "Virtual NIC with hardware address a2 failed to connect to distributed virtual port a1 on "
       "switch a0. No more ports available on the host proxy switch"},
      {"tarn.problem.net.fence.port.badfenceid",
       "Mantle fails to set fenceId 7 on distributed virtual port p1 on switch switch1, reason: "
       "invalid fenceId"},
      {"tarn.problem.net.fence.switch.unavailable",
       "Mantle fails to set fenceId 7 on distributed virtual port p1 on switch switch1, reason: "
       "dvSwitch fence property is not set"},
      {"tarn.problem.net.e1000.tso6.notsupported",
       "Guest-initiated IPv6 TCP Segmentation Offload (TSO) packets ignored. Manually disable TSO "
       "inside the guest operating system in Virtual Machine web-frontend-01, or use a different "
       "virtual adapter."},
  };
  for (const auto &m : messages) {
    auto it = got.find(m.first);
    ASSERT_NE(it, got.end()) << m.first;
    EXPECT_EQ(it->second, m.second);
  }
  const std::string limited =
      "Mantle fails to set fenceId 7 on distributed virtual port p1 on switch switch1, reason: "
      "maximum number of fence networks or ports have been reached";
  ASSERT_EQ(got.count("tarn.problem.net.fence.resource.limited"), 2u);  // reasons 0 and other
  for (auto r = got.equal_range("tarn.problem.net.fence.resource.limited"); r.first != r.second;
       ++r.first)
    EXPECT_EQ(r.first->second, limited);
}

TEST(NetEndToEnd, FlappingNicIsTakenDownAndARedundancyLossIsSummarised) {
  Host host(R"({"advanced_options": {"Net": {"LinkFlappingThreshold": 2}},
                "nics": {"pnic0": {}, "pnic1": {}},
                "port_groups": {"frontend": {"switch": "switch0"},
                                "management": {"switch": "switch0"}}})");
  std::string down = Observation("pnic.linkstate.down", R"({"s": "pnic1"})");
  ASSERT_EQ(host.Emit(down + down + down +
                      Observation("pg.uplink.transition.down",
                                  R"({"s": "pnic0"}, {"s": "frontend"}, {"i32": 0}, {"i32": 0})") +
                      Observation("pg.uplink.transition.down",
                                  R"({"s": "pnic0"}, {"s": "management"}, {"i32": 1},)"
                                  R"( {"i32": 0})") +
                      Observation("pg.uplink.transition.up",
                                  R"({"s": "pnic0"}, {"s": "frontend"}, {"i32": 1})") +
                      Observation("pg.uplink.transition.up",
                                  R"({"s": "pnic0"}, {"s": "management"}, {"i32": 2})")),
            0);
  ASSERT_TRUE(host.WaitForFlares(8, 6000ms));
  usleep(300000);
  std::multimap<std::string, std::string> got = ById(host.Flares());
  EXPECT_EQ(got.size(), 8u);
  EXPECT_EQ(got.count("tarn.problem.net.pnic.linkstate.down"), 3u);  // one per link-down
  std::map<std::string, std::string> expected = {
      {"tarn.problem.net.pnic.linkstate.flapping",
       "Taking down physical NIC pnic1 because the link is flapping."},
      {"tarn.problem.net.pnic.linkstate.down", "Physical NIC pnic1 linkstate is down"},
      {"tarn.problem.net.connectivity.lost",
       "Lost network connectivity on virtual switch \"switch0\". Physical NIC pnic0 is down. "
       "Affected port groups: \"frontend\""},
      {"tarn.problem.net.redundancy.lost",
       "Lost uplink redundancy on virtual switch \"switch0\". Physical NIC pnic0 is down. "
       "Affected port groups: \"management\""},
      {"tarn.clear.net.connectivity.restored",
       "Network connectivity restored on virtual switch \"switch0\", portgroups: \"frontend\". "
       "Physical NIC pnic0 is up"},
      {"tarn.clear.net.redundancy.restored",
       "Uplink redundancy restored on virtual switch \"switch0\", portgroups: \"management\". "
       "Physical NIC pnic0 is up"},
  };
  for (const auto &e : expected) {
    auto it = got.find(e.first);
    ASSERT_NE(it, got.end()) << e.first;
    EXPECT_EQ(it->second, e.second);
  }
  std::vector<std::string> actions =
      Lines(host.root.Under("/var/log/pelldan/simhost-actions.jsonl"));
  ASSERT_EQ(actions.size(), 1u);
  EXPECT_EQ(actions[0].rfind(R"({"action":"nic_down","nic":"pnic1","value":1,)", 0), 0u);
}

}  // namespace
