// The Linux source's logic on messages made here: what each kernel event
// becomes, and what it does with input that is not what it should be.
#include <gtest/gtest.h>
#include <libmnl/libmnl.h>
#include <linux/if.h>
#include <linux/if_arp.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <sys/timex.h>
#include <unistd.h>

#include <fstream>

#include "actions.h"
#include "clockwatch.h"
#include "config.h"
#include "event.h"
#include "linkmsg.h"
#include "links.h"

using namespace wisplinux;

namespace {

struct LinkSpec {
  int index;
  std::string name;
  bool running = true;
  int master = 0;
  std::string kind;
  int carrierUp = -1, carrierDown = -1;  // -1: not sent
  uint8_t family = AF_UNSPEC;
};

// One RTM_NEWLINK as the kernel sends it.
std::string Message(const LinkSpec &s) {
  char buf[MNL_SOCKET_BUFFER_SIZE];
  struct nlmsghdr *nlh = mnl_nlmsg_put_header(buf);
  nlh->nlmsg_type = RTM_NEWLINK;
  auto *ifi =
      static_cast<struct ifinfomsg *>(mnl_nlmsg_put_extra_header(nlh, sizeof(struct ifinfomsg)));
  ifi->ifi_family = s.family;
  ifi->ifi_index = s.index;
  ifi->ifi_type = ARPHRD_ETHER;
  ifi->ifi_flags = IFF_UP | (s.running ? IFF_LOWER_UP | IFF_RUNNING : 0);
  mnl_attr_put_strz(nlh, IFLA_IFNAME, s.name.c_str());
  mnl_attr_put_u8(nlh, IFLA_OPERSTATE, s.running ? IF_OPER_UP : IF_OPER_DOWN);
  if (s.master) mnl_attr_put_u32(nlh, IFLA_MASTER, static_cast<uint32_t>(s.master));
  if (s.carrierUp >= 0) {
    mnl_attr_put_u32(nlh, IFLA_CARRIER_UP_COUNT, static_cast<uint32_t>(s.carrierUp));
    mnl_attr_put_u32(nlh, IFLA_CARRIER_DOWN_COUNT, static_cast<uint32_t>(s.carrierDown));
  }
  if (!s.kind.empty()) {
    struct nlattr *info = mnl_attr_nest_start(nlh, IFLA_LINKINFO);
    mnl_attr_put_strz(nlh, IFLA_INFO_KIND, s.kind.c_str());
    mnl_attr_nest_end(nlh, info);
  }
  return std::string(buf, nlh->nlmsg_len);
}

// What a table makes of the messages, one line per observation.
std::vector<std::string> Apply(LinkTable *table, const std::vector<LinkSpec> &specs) {
  std::string bytes;
  for (const LinkSpec &s : specs) bytes += Message(s);
  LinkBatch batch = DecodeLinkMessages(bytes.data(), bytes.size());
  EXPECT_EQ(batch.bad, 0u) << batch.firstProblem;
  std::vector<Observation> obs;
  for (const LinkMsg &link : batch.links) table->Apply(link, &obs);
  std::vector<std::string> lines;
  for (const Observation &o : obs) {
    std::string line = RowOf(o.kind).id;
    for (const tools::Arg &a : o.args)
      line += " " + (a.type == 6 ? a.str : std::to_string(static_cast<int32_t>(a.bits)));
    lines.push_back(line);
  }
  return lines;
}

LinkConfig Veths() {
  LinkConfig c;
  c.nicKinds = {"veth"};
  return c;
}

TEST(LinuxLinks, FirstSightIsQuietAndEachChangeOfTheCarrierIsOneObservation) {
  LinkTable table(Veths());
  EXPECT_TRUE(Apply(&table, {{3, "pnic0", true, 0, "veth", 1, 1}}).empty());
  EXPECT_EQ(Apply(&table, {{3, "pnic0", false, 0, "veth", 1, 2}}),
            std::vector<std::string>{"wisp.net.pnic.linkstate.down pnic0"});
  // Repeated state, same counters: nothing.
  EXPECT_TRUE(Apply(&table, {{3, "pnic0", false, 0, "veth", 1, 2}}).empty());
  EXPECT_EQ(Apply(&table, {{3, "pnic0", true, 0, "veth", 2, 2}}),
            std::vector<std::string>{"wisp.net.pnic.linkstate.up pnic0"});
}

TEST(LinuxLinks, ChangesTheKernelMergedAreRecoveredFromItsCounters) {
  LinkTable table(Veths());
  Apply(&table, {{3, "pnic0", true, 0, "veth", 5, 5}});
  // Two flaps in one message: still up, each counter two further.
  std::vector<std::string> expected = {
      "wisp.net.pnic.linkstate.down pnic0", "wisp.net.pnic.linkstate.up pnic0",
      "wisp.net.pnic.linkstate.down pnic0", "wisp.net.pnic.linkstate.up pnic0"};
  EXPECT_EQ(Apply(&table, {{3, "pnic0", true, 0, "veth", 7, 7}}), expected);
  EXPECT_EQ(table.Merged(), 4u);
  // A carrier that came up on a link thought up: a down was missed.
  EXPECT_EQ(Apply(&table, {{3, "pnic0", true, 0, "veth", 8, 7}}),
            (std::vector<std::string>{"wisp.net.pnic.linkstate.down pnic0",
                                      "wisp.net.pnic.linkstate.up pnic0"}));
  // Down after a merged up and down: three changes, ending down.
  EXPECT_EQ(Apply(&table, {{3, "pnic0", false, 0, "veth", 9, 9}}).size(), 3u);
  // Counters that leap (a damaged capture) are not replayed one by one.
  EXPECT_LE(Apply(&table, {{3, "pnic0", true, 0, "veth", 2000000000, 2000000000}}).size(), 65u);
}

TEST(LinuxLinks, ABridgesMemberNicsAreItsUplinksCountedAsTheyGoAndCome) {
  LinkConfig config = Veths();
  config.portGroups = {{"frontend", "switch0"}, {"backup", "switch0"}};
  LinkTable table(config);
  Apply(&table, {{2, "switch0", true, 0, "bridge"},
                 {3, "pnic1", true, 2, "veth", 1, 1},
                 {4, "pnic2", true, 2, "veth", 1, 1},
                 {5, "tap0", true, 2, "tun"}});  // a guest's port, no uplink
  Inventory inv = table.Current();
  EXPECT_EQ(inv.nics, (std::set<std::string>{"pnic1", "pnic2"}));
  EXPECT_EQ(inv.portGroups,
            (std::map<std::string, std::string>{{"backup", "switch0"}, {"frontend", "switch0"}}));
  EXPECT_EQ(Apply(&table, {{3, "pnic1", false, 2, "veth", 1, 2}}),
            (std::vector<std::string>{"wisp.net.pg.uplink.transition.down pnic1 backup 1 0",
                                      "wisp.net.pg.uplink.transition.down pnic1 frontend 1 0",
                                      "wisp.net.pnic.linkstate.down pnic1"}));
  EXPECT_EQ(Apply(&table, {{4, "pnic2", false, 2, "veth", 1, 2}})[0],
            "wisp.net.pg.uplink.transition.down pnic2 backup 0 0");
  EXPECT_EQ(Apply(&table, {{3, "pnic1", true, 2, "veth", 2, 2}})[1],
            "wisp.net.pg.uplink.transition.up pnic1 frontend 1");
  // Leaving the bridge while up is a loss for it; the link itself is fine.
  EXPECT_EQ(Apply(&table, {{3, "pnic1", true, 0, "veth", 2, 2}}),
            (std::vector<std::string>{"wisp.net.pg.uplink.transition.down pnic1 backup 0 0",
                                      "wisp.net.pg.uplink.transition.down pnic1 frontend 0 0"}));
  EXPECT_EQ(Apply(&table, {{3, "pnic1", true, 2, "veth", 2, 2}})[0],
            "wisp.net.pg.uplink.transition.up pnic1 backup 1");
}

TEST(LinuxLinks, OnlyNicsAreWatched) {
  LinkConfig config;
  config.ignore = {"docker*"};
  LinkTable table(config);
  Apply(&table, {{2, "eth0", true}, {3, "docker0", true}, {4, "veth9", true, 0, "veth"}});
  EXPECT_EQ(table.Current().nics, std::set<std::string>{"eth0"});
  EXPECT_TRUE(Apply(&table, {{3, "docker0", false}, {4, "veth9", false, 0, "veth"}}).empty());
  EXPECT_EQ(Apply(&table, {{2, "eth0", false}}).size(), 1u);
}

TEST(LinuxLinkMessages, WhatDoesNotDecodeIsCountedAndTheRestKept) {
  std::string good = Message({3, "pnic0"});
  // A bridge's own view of its port says nothing new.
  LinkSpec bridgeView{3, "pnic0"};
  bridgeView.family = AF_BRIDGE;
  std::string both = Message(bridgeView) + good;
  EXPECT_EQ(DecodeLinkMessages(both.data(), both.size()).links.size(), 1u);
  // Cut short anywhere: never read past the end.
  for (size_t cut = 1; cut < good.size(); ++cut) {
    std::string part = good.substr(0, cut);
    LinkBatch b = DecodeLinkMessages(part.data(), part.size());
    EXPECT_TRUE(b.links.empty());
    EXPECT_EQ(b.bad, 1u) << "cut at " << cut;
  }
  // A length past the end, read as negative by a signed comparison.
  std::string huge = good;
  huge[0] = huge[1] = huge[2] = huge[3] = static_cast<char>(0xff);
  EXPECT_EQ(DecodeLinkMessages(huge.data(), huge.size()).bad, 1u);
  // A name without its NUL.
  std::string bad = good;
  size_t at = bad.find("pnic0");
  bad[at + 5] = 'X';
  EXPECT_EQ(DecodeLinkMessages(bad.data(), bad.size()).firstProblem,
            "link message without a valid name");
}

// The daemon's take-downs: only those written after the start, and a
// journal replaced or cut short is read from its start.
// "nic pnic0", "page 4660", "cpu 3" for each request read.
std::vector<std::string> Requests(const std::vector<HostAction> &actions) {
  std::vector<std::string> out;
  for (const HostAction &a : actions)
    out.push_back(a.kind == HostAction::Kind::kNicDown      ? "nic " + a.nic
                  : a.kind == HostAction::Kind::kPageRetire ? "page " + std::to_string(a.page)
                                                            : "cpu " + std::to_string(a.cpu));
  return out;
}

TEST(LinuxActions, OnlyRequestsAddedSinceTheStartAreRead) {
  char dir[] = "/tmp/wisp-linux-actions-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string path = std::string(dir) + "/simhost-actions.jsonl";
  auto append = [&](const std::string &text) { std::ofstream(path, std::ios::app) << text; };
  using Texts = std::vector<std::string>;
  append("{\"action\":\"nic_down\",\"nic\":\"pnic9\",\"value\":1}\n");
  ActionsFollower follower(path);
  EXPECT_TRUE(follower.Read().empty());
  append(
      "{\"action\":\"set_option\",\"group\":\"Misc\"}\nnot json\n"
      "{\"action\":\"page_retire\",\"page\":\"4660\"}\n"
      "{\"action\":\"nic_down\",\"nic\":\"pnic0\",\"value\":1}\n"
      "{\"action\":\"page_retire\",\"page\":4660,\"count\":1,\"mode\":\"NiceRetire\"}\n"
      "{\"action\":\"cpu_offline\",\"cpu\":3}\n{\"action\":\"nic_d");
  EXPECT_EQ(Requests(follower.Read()), (Texts{"nic pnic0", "page 4660", "cpu 3"}));
  EXPECT_EQ(follower.BadLines(), 2u);
  append("own\",\"nic\":\"pnic1\"}\n");  // the line written in two parts
  EXPECT_EQ(Requests(follower.Read()), Texts{"nic pnic1"});
  std::ofstream(path, std::ios::trunc) << "{\"action\":\"nic_down\",\"nic\":\"pnic2\"}\n";
  EXPECT_EQ(Requests(follower.Read()), Texts{"nic pnic2"});
  unlink(path.c_str());
  rmdir(dir);
}

ClockConfig Clock() {
  ClockConfig c;
  c.stepThresholdS = 1;
  c.maxErrorMs = 500;
  return c;
}

SyncSample Synced(long maxErrorUs = 1000) {
  return {TIME_OK, STA_PLL, maxErrorUs};
}
SyncSample Unsynced() {
  return {TIME_ERROR, STA_UNSYNC, 16000000};
}

std::vector<std::string> Ids(const std::vector<Observation> &obs) {
  std::vector<std::string> ids;
  for (const Observation &o : obs) ids.push_back(RowOf(o.kind).id);
  return ids;
}

TEST(LinuxClock, StepsAboveTheBoundAreToldBySyncState) {
  ClockWatch clock(Clock());
  std::vector<Observation> obs;
  clock.Sample(Synced(), &obs);
  EXPECT_TRUE(obs.empty());  // the first reading only sets the state
  clock.Step(900000000, 100, 5, &obs);
  EXPECT_TRUE(obs.empty());
  EXPECT_EQ(clock.SmallSteps(), 1u);
  clock.Step(-1200000000, 1796601600, 250000000, &obs);
  ASSERT_EQ(obs.size(), 1u);
  EXPECT_EQ(RowOf(obs[0].kind).id, std::string("wisp.clock.correction.delta.allowed"));
  std::vector<int32_t> args;
  for (const tools::Arg &a : obs[0].args) args.push_back(static_cast<int32_t>(a.bits));
  EXPECT_EQ(args, (std::vector<int32_t>{1796601600, 250000000, 2, 1}));
  obs.clear();
  clock.Sample(Unsynced(), &obs);
  clock.Step(5000000000, 1796601700, 0, &obs);
  EXPECT_EQ(Ids(obs), (std::vector<std::string>{"wisp.clock.correction.adjtime.unsync",
                                                "wisp.clock.correction.step.unsync"}));
}

TEST(LinuxClock, SyncIsReportedWhenItChangesAndAnErrorOverTheBoundOnce) {
  ClockWatch clock(Clock());
  std::vector<Observation> obs;
  EXPECT_TRUE(clock.Sample(Unsynced(), &obs));
  EXPECT_FALSE(clock.Sample(Unsynced(), &obs));
  EXPECT_TRUE(clock.Sample(Synced(), &obs));
  EXPECT_TRUE(clock.Sample(Synced(900000), &obs));
  EXPECT_FALSE(clock.Sample(Synced(950000), &obs));
  EXPECT_TRUE(clock.Sample(Synced(), &obs));
  EXPECT_EQ(Ids(obs), (std::vector<std::string>{"wisp.clock.correction.adjtime.sync",
                                                "wisp.clock.correction.adjtime.lostsync"}));
}

TEST(LinuxCapture, EventsSurviveTheirLineAndBadLinesAreRefused) {
  Event step;
  step.kind = Event::Kind::kStep;
  step.atUs = 42;
  step.deltaNs = -3000000001;
  step.toSec = 1796601600;
  step.toNsec = 7;
  Event back;
  std::string why;
  ASSERT_TRUE(EventFromLine(EventToLine(step), &back, &why)) << why;
  EXPECT_EQ(back.deltaNs, step.deltaNs);
  EXPECT_EQ(back.toNsec, 7);
  Event links;
  links.bytes = std::string("\x00\xff\x10", 3);
  ASSERT_TRUE(EventFromLine(EventToLine(links), &back, &why));
  EXPECT_EQ(back.bytes, links.bytes);
  for (const char *line :
       {"", "[]", "{\"at_us\": -1, \"overrun\": true}", "{\"at_us\": 1, \"links\": \"abc\"}",
        "{\"at_us\": 1, \"step\": {\"delta_ns\": 1, \"to_sec\": 1, \"to_nsec\": 1000000000}}",
        "{\"at_us\": 1, \"sync\": {\"state\": 1}}", "{\"at_us\": 1, \"what\": 2}"})
    EXPECT_FALSE(EventFromLine(line, &back, &why)) << line;
}

TEST(LinuxConfig, EveryMistakeIsNamed) {
  Config config;
  std::string why;
  ASSERT_TRUE(ParseConfig(R"({"port_groups": {"frontend": "switch0"}, "nic_kinds": ["veth"],
      "clock": {"step_threshold_s": 2}, "contexts": {"net": 5},
      "advanced_options": {"Net": {"LinkFlappingThreshold": 0}}})",
                          &config, &why))
      << why;
  EXPECT_EQ(config.links.portGroups.at("frontend"), "switch0");
  EXPECT_EQ(config.clock.stepThresholdS, 2);
  EXPECT_EQ(config.contexts.of[0], 5);
  const std::pair<const char *, const char *> bad[] = {
      {"[]", "not a JSON object"},
      {R"({"port_group": {}})", "port_group: unknown key"},
      {R"({"clock": {"step_threshold": 1}})", "clock.step_threshold: unknown key"},
      {R"({"contexts": {"net": 24}})", "contexts.net: a whole number from 0 to 23"},
      {R"({"contexts": {"net": 2}})", "contexts: each family needs a context of its own"},
      {R"({"advanced_options": {"Net": {"LinkFlappingThreshold": "3"}}})",
       "advanced_options.Net.LinkFlappingThreshold: a whole number"},
  };
  for (const auto &b : bad) {
    Config c;
    EXPECT_FALSE(ParseConfig(b.first, &c, &why)) << b.first;
    EXPECT_EQ(why, b.second);
  }
}

}  // namespace
