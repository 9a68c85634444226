// The Linux source against the real daemon: live, in a private network
// namespace with veth pairs (needs root), and from captures (needs nothing).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sandbox.h"

using namespace testing_support;

namespace {

const char kIp[] = "/usr/sbin/ip";

// A network namespace of the test's own, removed when it ends.
class Namespace {
 public:
  Namespace() {
    static int count = 0;
    name_ = "wisptest-" + std::to_string(getpid()) + "-" + std::to_string(++count);
    ok_ = geteuid() == 0 && access(kIp, X_OK) == 0 && Ip({"netns", "add", name_});
  }
  ~Namespace() {
    if (ok_) Ip({"netns", "del", name_});
  }
  bool Ok() const { return ok_; }
  const std::string &Name() const { return name_; }
  // ip -n NAME ARGS...
  bool In(std::vector<std::string> args) const {
    args.insert(args.begin(), {"-n", name_});
    return Ip(args);
  }
  bool Veth(const std::string &nic, const std::string &peer) const {
    return In({"link", "add", nic, "type", "veth", "peer", "name", peer}) &&
           In({"link", "set", nic, "up"}) && In({"link", "set", peer, "up"});
  }
  bool Set(const std::string &link, const char *state) const {
    return In({"link", "set", link, state});
  }
  // The link's flags as ip shows them ("<BROADCAST,MULTICAST,UP,LOWER_UP>").
  std::string Flags(const std::string &link) const {
    std::string out = RunOutput({"-n", name_, "-o", "link", "show", link});
    size_t open = out.find('<'), close = out.find('>');
    return open == std::string::npos || close == std::string::npos
               ? ""
               : out.substr(open, close - open + 1);
  }

 private:
  static bool Ip(const std::vector<std::string> &args) { return ExitCode(Run(kIp, args)) == 0; }
  static std::string RunOutput(const std::vector<std::string> &args) {
    Process p(kIp, args);
    p.Wait();
    return p.Stdout();
  }
  std::string name_;
  bool ok_ = false;
};

// A counter the source writes ("name" or "name{labels}"); -1 when absent.
long long SourceCounter(const Root &root, const std::string &sample) {
  return Sample(Slurp(root.Under("/var/run/pelldan/wisp-linux.prom")), sample);
}

// hubd's lines whose event id is id.
size_t Count(const Host &host, const std::string &id) {
  size_t n = 0;
  for (const std::string &line : host.Flares())
    if (line.find("\"id\":\"" + id + "\"") != std::string::npos) ++n;
  return n;
}

bool WaitForFlare(const Host &host, const std::string &id, size_t count = 1) {
  return WaitUntil([&] { return Count(host, id) >= count; }, 15000ms);
}

// The observations the daemon's network correlator took.
long long NetTaken(const Root &root) {
  return Sample(Snapshot(root), "wispd_agent_observations_total{agent=\"netCorrelator\"}");
}

class LiveSource : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ns.Ok())
      GTEST_SKIP() << "needs root and network namespaces (ip netns add failed or not root)";
  }
  // Starts the source in the namespace once its links are made.
  void Start(const std::string &config, const std::vector<std::string> &args = {}) {
    host.root.WriteFile("/etc/pelldan/wisp-linux.json", config);
    std::vector<std::string> all = {"netns", "exec", ns.Name(), Bin("wisp-linux")};
    all.insert(all.end(), args.begin(), args.end());
    source = std::make_unique<Process>(kIp, all);
    ASSERT_TRUE(WaitUntil(
        [&] {
          return SourceCounter(host.root, "wisp_linux_events_read_total{family=\"net\"}") > 0;
        },
        10000ms))
        << source->Stderr();
  }
  Host host;
  Namespace ns;
  std::unique_ptr<Process> source;
};

TEST_F(LiveSource, AFlappingLinkIsReportedOnceAndItsTakeDownOnlyRecorded) {
  ASSERT_TRUE(ns.Veth("pnic0", "peer0"));
  Start(R"({"nic_kinds": ["veth"], "ignore": ["peer*"],
            "advanced_options": {"Net": {"LinkFlappingThreshold": 3}}})");
  // Back to back: the kernel may merge the changes; its counters still tell.
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(ns.Set("peer0", "down"));
    ASSERT_TRUE(ns.Set("peer0", "up"));
  }
  ASSERT_TRUE(WaitForFlare(host, "tarn.problem.net.pnic.linkstate.flapping")) << source->Stderr();
  ASSERT_TRUE(WaitUntil([&] { return NetTaken(host.root) == 8; }, 10000ms))
      << "the network correlator took " << NetTaken(host.root) << " observations";
  EXPECT_EQ(Count(host, "tarn.problem.net.pnic.linkstate.flapping"), 1u);
  EXPECT_NE(Slurp(host.root.Under("/hubd.jsonl"))
                .find("Taking down physical NIC pnic0 because the link is flapping."),
            std::string::npos);
  // Recorded in the journal and by the source, and the link is still up.
  ASSERT_TRUE(WaitUntil([&] {
    return SourceCounter(host.root, "wisp_linux_take_downs_total{outcome=\"recorded\"}") == 1;
  }));
  EXPECT_NE(Slurp(host.root.Under("/var/log/pelldan/simhost-actions.jsonl"))
                .find("\"action\":\"nic_down\",\"nic\":\"pnic0\""),
            std::string::npos);
  EXPECT_NE(ns.Flags("pnic0").find(",UP"), std::string::npos) << ns.Flags("pnic0");
  EXPECT_NE(source->Stderr().find("asked to take NIC pnic0 down"), std::string::npos);
}

TEST_F(LiveSource, AskedToTakeDownAFlappingLinkItDoes) {
  ASSERT_TRUE(ns.Veth("pnic0", "peer0"));
  Start(R"({"nic_kinds": ["veth"], "ignore": ["peer*"]})", {"--take-down"});
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(ns.Set("peer0", "down"));
    ASSERT_TRUE(ns.Set("peer0", "up"));
  }
  ASSERT_TRUE(WaitUntil(
      [&] {
        return SourceCounter(host.root, "wisp_linux_take_downs_total{outcome=\"done\"}") == 1;
      },
      15000ms))
      << source->Stderr();
  EXPECT_EQ(ns.Flags("pnic0").find(",UP"), std::string::npos) << ns.Flags("pnic0");
  EXPECT_NE(source->Stderr().find("took NIC pnic0 down, as the daemon asked"), std::string::npos);
}

TEST_F(LiveSource, ALinkDownIsAProblemAndItsReturnTheClear) {
  ASSERT_TRUE(ns.Veth("pnic0", "peer0"));
  Start(R"({"nic_kinds": ["veth"], "ignore": ["peer*"]})");
  ASSERT_TRUE(ns.Set("peer0", "down"));
  ASSERT_TRUE(WaitForFlare(host, "tarn.problem.net.pnic.linkstate.down")) << source->Stderr();
  ASSERT_TRUE(ns.Set("peer0", "up"));
  ASSERT_TRUE(WaitForFlare(host, "tarn.clear.net.pnic.linkstate.up"));
  std::vector<std::string> flares = host.Flares();
  EXPECT_NE(flares.front().find("Physical NIC pnic0 linkstate is down"), std::string::npos);
  EXPECT_EQ(Count(host, "tarn.problem.net.pnic.linkstate.flapping"), 0u);
}

TEST_F(LiveSource, ABridgeLosesAndRegainsItsUplinks) {
  ASSERT_TRUE(ns.In({"link", "add", "switch0", "type", "bridge"}));
  ASSERT_TRUE(ns.Set("switch0", "up"));
  for (const char *n : {"1", "2"}) {
    ASSERT_TRUE(ns.Veth(std::string("pnic") + n, std::string("peer") + n));
    ASSERT_TRUE(ns.In({"link", "set", std::string("pnic") + n, "master", "switch0"}));
  }
  Start(R"({"nic_kinds": ["veth"], "ignore": ["peer*"], "port_groups": {"frontend": "switch0"}})");
  ASSERT_TRUE(ns.Set("peer1", "down"));
  ASSERT_TRUE(WaitForFlare(host, "tarn.problem.net.redundancy.lost")) << source->Stderr();
  ASSERT_TRUE(ns.Set("peer2", "down"));
  ASSERT_TRUE(WaitForFlare(host, "tarn.problem.net.connectivity.lost"));
  // The uplink lost last comes back first: each restoration ends its loss.
  ASSERT_TRUE(ns.Set("peer2", "up"));
  ASSERT_TRUE(WaitForFlare(host, "tarn.clear.net.connectivity.restored"));
  ASSERT_TRUE(ns.Set("peer1", "up"));
  ASSERT_TRUE(WaitForFlare(host, "tarn.clear.net.redundancy.restored"));
  // Nothing else: a link whose port group reports its return says no more.
  EXPECT_EQ(host.Flares().size(), 4u) << Slurp(host.root.Under("/hubd.jsonl"));
  std::string all = Slurp(host.root.Under("/hubd.jsonl"));
  for (const char *text :
       {"Lost uplink redundancy on virtual switch \\\"switch0\\\". Physical NIC pnic1 is down. "
        "Affected port groups: \\\"frontend\\\"",
        "Lost network connectivity on virtual switch \\\"switch0\\\". Physical NIC pnic2 is down. "
        "Affected port groups: \\\"frontend\\\"",
        "Network connectivity restored on virtual switch \\\"switch0\\\", portgroups: "
        "\\\"frontend\\\". Physical NIC pnic2 is up",
        "Uplink redundancy restored on virtual switch \\\"switch0\\\", portgroups: "
        "\\\"frontend\\\". Physical NIC pnic1 is up"})
    EXPECT_NE(all.find(text), std::string::npos) << text << "\n" << all;
  // The bridge is the switch of the configured port group in the model.
  EXPECT_NE(Slurp(host.root.Under("/etc/pelldan/simhost.json")).find("\"switch\": \"switch0\""),
            std::string::npos);
}

// Replays need no privilege: the captures shipped with the examples.
std::string Example(const std::string &name) {
  // Appended in steps: GCC 12 misreads the chained form at -O1 and above.
  std::string path = WISPD_SOURCE_DIR;
  path += "/examples/linux/";
  path += name;
  return path;
}

TEST(ReplayedSource, RecordedFlapsOfALinkGiveTheFlappingProblem) {
  Host host;
  host.root.WriteFile("/etc/pelldan/wisp-linux.json",
                      R"({"nic_kinds": ["veth"], "ignore": ["peer*"]})");
  Process source(Bin("wisp-linux"), {"--replay", Example("link-flaps.jsonl"), "--timing", "none"});
  ASSERT_EQ(ExitCode(source.Wait(20000ms)), 0) << source.Stderr();
  ASSERT_TRUE(WaitForFlare(host, "tarn.problem.net.pnic.linkstate.flapping")) << source.Stderr();
  EXPECT_NE(Slurp(host.root.Under("/hubd.jsonl")).find("physical NIC pnic0"), std::string::npos);
}

// The daemon away: what the source read waits for it, and none is lost.
TEST(ReplayedSource, ObservationsWaitForADaemonThatIsNotThereYet) {
  Root root;
  LogCapture log{root};
  root.WriteFile("/etc/pelldan/wisp-linux.json", R"({"nic_kinds": ["veth"], "ignore": ["peer*"]})");
  Process hubd(Bin("hubd"), {"--out", root.Under("/hubd.jsonl")});
  Process source(Bin("wisp-linux"), {"--replay", Example("link-flaps.jsonl"), "--timing", "none"});
  ASSERT_TRUE(WaitUntil([&] { return SourceCounter(root, "wisp_linux_observations_waiting") > 0; },
                        10000ms))
      << source.Stderr();
  long long waiting = SourceCounter(root, "wisp_linux_observations_waiting");
  Process wispd(Bin("wispd"), {});
  ASSERT_EQ(ExitCode(source.Wait(20000ms)), 0) << source.Stderr();
  EXPECT_EQ(SourceCounter(root, "wisp_linux_observations_sent_total{family=\"net\"}"), waiting);
  EXPECT_EQ(SourceCounter(root, "wisp_linux_observations_dropped_total"), 0);
  EXPECT_NE(source.Stderr().find("; holding observations"), std::string::npos) << source.Stderr();
  EXPECT_NE(source.Stderr().find("the daemon takes observations again"), std::string::npos);
  EXPECT_TRUE(WaitUntil(
      [&] {
        return Slurp(root.Under("/hubd.jsonl")).find("tarn.problem.net.pnic.linkstate.flapping") !=
               std::string::npos;
      },
      15000ms));
}

TEST(ReplayedSource, AClockStepAndTheLossOfSyncGiveTheClockProblems) {
  Host host;
  Process source(Bin("wisp-linux"), {"--replay", Example("clock.jsonl"), "--timing", "none"});
  ASSERT_EQ(ExitCode(source.Wait(20000ms)), 0) << source.Stderr();
  ASSERT_TRUE(WaitForFlare(host, "tarn.problem.clock.correction.adjtime.unsync"));
  ASSERT_TRUE(WaitForFlare(host, "tarn.problem.clock.correction.step.unsync"));
  std::string all = Slurp(host.root.Under("/hubd.jsonl"));
  for (const char *text :
       {"system clock synchronized to upstream time servers",
        "system clock stepped to 1796601600.250000000, but delta 3 > 1 seconds",
        "system clock lost synchronization to upstream time servers",
        "system clock stepped to 1796605200.000000005, lost sync to upstream time servers"})
    EXPECT_NE(all.find(text), std::string::npos) << text << "\n" << all;
}

TEST(ReplayedSource, ADamagedCaptureIsRefusedOrSkippedLineByLine) {
  Root root;
  root.WriteFile("/bad.jsonl", "{\"not\": \"a capture\"}\n");
  Process refused(Bin("wisp-linux"), {"--replay", root.Under("/bad.jsonl")});
  EXPECT_EQ(ExitCode(refused.Wait()), 1);
  EXPECT_NE(refused.Stderr().find("not a capture"), std::string::npos) << refused.Stderr();
  root.WriteFile("/damaged.jsonl",
                 "{\"capture\": \"wisp-linux\", \"version\": 1, \"uuid\": \"\"}\n"
                 "{\"at_us\": 1, \"links\": \"0102\"}\n"
                 "{\"at_us\": 2, \"links\": \"zz\"}\n"
                 "{\"at_us\": 3, \"step\": {\"delta_ns\": 1}}\n"
                 "[1, 2]\n");
  Process skipped(Bin("wisp-linux"),
                  {"--replay", root.Under("/damaged.jsonl"), "--timing", "none"});
  EXPECT_EQ(ExitCode(skipped.Wait()), 0) << skipped.Stderr();
  EXPECT_NE(skipped.Stderr().find("skipped 3 lines of the capture; the first at line 3"),
            std::string::npos)
      << skipped.Stderr();
  EXPECT_EQ(SourceCounter(root, "wisp_linux_bad_link_messages_total"), 1);
  EXPECT_EQ(SourceCounter(root, "wisp_linux_bad_capture_lines_total"), 3);
}

// Storage from captures: a map of two paths (sdb, sdc) carrying /srv/data.
// Replayed at their recorded times: the daemon reads a path's redundancy
// from the host model when it takes the path's event, as on a host.
class ReplayedStorage : public ::testing::Test {
 protected:
  void Replay(const std::string &capture) {
    Process source(Bin("wisp-linux"), {"--replay", Example(capture)});
    ASSERT_EQ(ExitCode(source.Wait(30000ms)), 0) << source.Stderr();
    stderr_ = source.Stderr();
  }
  // The flares' messages with the given ids, in the order hubd took them.
  std::vector<std::string> Messages(size_t count) {
    EXPECT_TRUE(WaitUntil([&] { return host.Flares().size() >= count; }, 15000ms))
        << Slurp(host.root.Under("/hubd.jsonl")) << stderr_;
    std::vector<std::string> out;
    for (const std::string &line : host.Flares())
      out.push_back(nlohmann::json::parse(line, nullptr, false).value("message", line));
    std::sort(out.begin(), out.end());
    return out;
  }
  Host host;
  std::string stderr_;
};

TEST_F(ReplayedStorage, OnePathOfTwoFailsAndReturns) {
  Replay("multipath-path.jsonl");
  EXPECT_EQ(Messages(2),
            (std::vector<std::string>{
                "Lost path redundancy to storage device mpatha. Path sdc is down. Affected "
                "datastores: \"/srv/data\".",
                "Path redundancy to storage device mpatha (Datastores: \"/srv/data\") restored. "
                "Path sdc is active again."}));
}

TEST_F(ReplayedStorage, BothPathsFailQueueingEndsAndThePathsReturn) {
  Replay("multipath-apd.jsonl");
  EXPECT_EQ(
      Messages(7),
      (std::vector<std::string>{
          "Connectivity to storage device mpatha (Datastores: \"/srv/data\") restored. Path "
          "sdb is active again.",
          "Device or filesystem with identifier [mpatha] has entered the All Paths Down Timeout "
          "state after being in the All Paths Down state for 3 seconds. I/Os will now be fast "
          "failed.",
          "Device or filesystem with identifier [mpatha] has entered the All Paths Down state.",
          "Device or filesystem with identifier [mpatha] has exited the All Paths Down state.",
          "Lost connectivity to storage device mpatha. Path sdc is down. Affected datastores: "
          "\"/srv/data\".",
          "Lost path redundancy to storage device mpatha. Path sdb is down. Affected datastores: "
          "\"/srv/data\".",
          "Path redundancy to storage device mpatha (Datastores: \"/srv/data\") restored. Path "
          "sdc is active again."}));
}

TEST_F(ReplayedStorage, ResetsAnOfflineDiskAndItsErrorsFromTheKernelLog) {
  Replay("scsi-kmsg.jsonl");
  EXPECT_EQ(Messages(4),
            (std::vector<std::string>{
                "Connectivity to storage device sdd (Datastores: \"/var/lib/store\") restored. "
                "Path sdd is active again.",
                "Frequent PowerOn Reset Unit Attentions are occurring on path sdd. This may "
                "indicate a storage problem. Affected device: sdd. Affected datastores: "
                "\"/var/lib/store\".",
                "Lost connectivity to storage device sdd. Path sdd is down. Affected datastores: "
                "\"/var/lib/store\".",
                "Too many errors observed for device sdd errPercentage 27"}));
  // Ten resets, the offline line, ten I/O errors and the attach matched;
  // a program's reset line and the rejected I/O lines did not.
  EXPECT_EQ(SourceCounter(host.root, "wisp_linux_kernel_log_matched_total"), 22);
  EXPECT_EQ(SourceCounter(host.root, "wisp_linux_kernel_log_unmatched_total"), 11);
}

TEST_F(ReplayedStorage, CorrectedErrorsOnOnePageAreAskedToRetireItAndThatIsOnlyRecorded) {
  // It stays after the replay: the daemon's request comes after it.
  Process source(Bin("wisp-linux"),
                 {"--replay", Example("memory-errors.jsonl"), "--timing", "none", "--stay"});
  ASSERT_TRUE(WaitUntil(
      [&] {
        return SourceCounter(host.root,
                             "wisp_linux_page_retirements_total{outcome=\"recorded\"}") == 1;
      },
      15000ms))
      << source.Stderr();
  source.Signal(SIGTERM);
  ASSERT_EQ(ExitCode(source.Wait(20000ms)), 0) << source.Stderr();
  EXPECT_NE(source.Stderr().find("the daemon asked to retire memory page 0x12345, its corrected "
                                 "errors: recorded in the actions journal, not done"),
            std::string::npos)
      << source.Stderr();
  std::string actions = Slurp(host.root.Under("/var/log/pelldan/simhost-actions.jsonl"));
  EXPECT_NE(actions.find("\"action\":\"page_retire\",\"page\":74565,"), std::string::npos)
      << actions;
  EXPECT_EQ(actions.find("cpu_offline"), std::string::npos) << actions;
  EXPECT_EQ(SourceCounter(host.root, "wisp_linux_observations_sent_total{family=\"hardware\"}"), 5);
}

// A loop device whose backing file system is full: the kernel's error lines
// reach the source. In a mount namespace of its own, so the file system
// goes with it; the loop device is detached at the end.
TEST(LiveStorage, ALoopDeviceOnAFullFileSystemLogsErrorsTheSourceReads) {
  if (geteuid() != 0 || access("/dev/loop-control", F_OK) != 0 ||
      access("/usr/bin/unshare", X_OK) != 0 || access("/dev/kmsg", R_OK) != 0)
    GTEST_SKIP() << "needs root, loop devices, unshare and the kernel log";
  Host host;
  Process source(Bin("wisp-linux"), {});
  ASSERT_TRUE(WaitUntil(
      [&] {
        return SourceCounter(host.root, "wisp_linux_family_watched{family=\"storage\"}") == 1;
      },
      10000ms))
      << source.Stderr();
  std::string dir = host.root.Under("/full");
  std::string script =
      "set -e; mkdir -p " + dir + "; mount -t tmpfs -o size=1m tmpfs " + dir + "; truncate -s 4M " +
      dir + "/back; dev=$(losetup -f --show " + dir + "/back); echo $dev; " +
      "dd if=/dev/zero of=$dev bs=64k count=32 oflag=direct 2>/dev/null || true; losetup -d $dev";
  // The kernel limits how often it logs such errors: try until one is read.
  std::string device;
  for (int i = 0; i < 10 && SourceCounter(host.root, "wisp_linux_kernel_log_matched_total") < 1;
       ++i) {
    Process fill("/usr/bin/unshare", {"-m", "/bin/sh", "-c", script});
    ASSERT_EQ(ExitCode(fill.Wait(30000ms)), 0) << fill.Stderr();
    device = fill.Stdout();
    WaitUntil([&] { return SourceCounter(host.root, "wisp_linux_kernel_log_matched_total") >= 1; },
              3000ms);
  }
  EXPECT_GE(SourceCounter(host.root, "wisp_linux_kernel_log_matched_total"), 1)
      << device << source.Stderr();
  EXPECT_EQ(SourceCounter(host.root, "wisp_linux_bad_kernel_log_records_total"), 0);
}

}  // namespace
