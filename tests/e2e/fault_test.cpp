// The real daemon under faults from every outside party; after each, every
// correlator is still there and still answers.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <random>
#include <set>
#include <thread>

#include "agent_table.h"
#include "records.h"
#include "sandbox.h"
#include "simhost/sockets.h"

using namespace testing_support;

namespace {

// A small allocator quarantine, and freed memory handed back at once, keep
// the sanitizer build's memory honest.
const std::vector<std::string> kEnv = {
    "ASAN_OPTIONS=quarantine_size_mb=8:allocator_release_to_os_interval_ms=0:"
    "verify_asan_link_order=0:detect_leaks=1"};

std::set<std::string> ThreadNames(pid_t pid) {
  std::set<std::string> names;
  std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (dirent *e = readdir(d)) {
    std::ifstream in(dir + "/" + e->d_name + "/comm");
    std::string name;
    if (std::getline(in, name)) names.insert(name);
  }
  closedir(d);
  return names;
}

// Every correlator of the agent table has its thread, an all-paths-down
// start still reaches hubd, and the daemon stops cleanly with status 0 (a
// sanitizer report would change it).
void ExpectHealthy(Host &host, long baselineKiB) {
  std::set<std::string> names = ThreadNames(host.wispd->Pid());
  for (const std::string &name : CorrelatorThreadNames()) EXPECT_EQ(names.count(name), 1u) << name;
  host.ExpectServing("naa.alive");
  EXPECT_LT(ResidentKiB(host.wispd->Pid()) - baselineKiB, 48 * 1024);
  host.ExpectStops(10000ms);
}

int Connect(const Root &root, int type, const char *path) {
  return simhost::ConnectUnix(type, root.Under(path));
}

TEST(Faults, ProducersSendingGarbageHalvesOversizedBatchesAndTooManyConnections) {
  Host host("", {}, true, kEnv);
  long baseline = ResidentKiB(host.wispd->Pid());
  std::mt19937 rng(7);
  std::string rec = Record("wisp.storage.apd.start", {Str("naa.garbage")});
  for (int i = 0; i < 300; ++i) {
    std::string junk(rng() % 2000, '\0');
    for (char &c : junk) c = static_cast<char>(rng());
    if (i % 3 == 0 && junk.size() > 20) memcpy(&junk[0], rec.data(), 20);  // plausible header
    SendDatagram(host.root.Under("/var/run/pelldan/mantle/context-9"), junk);
  }
  int slow = Connect(host.root, SOCK_SEQPACKET, "/var/run/pelldan/wisp-user.sock");
  for (char c : rec) send(slow, &c, 1, MSG_NOSIGNAL);  // one byte per batch
  int half = Connect(host.root, SOCK_SEQPACKET, "/var/run/pelldan/wisp-user.sock");
  send(half, rec.data(), rec.size() / 2, MSG_NOSIGNAL);
  close(half);  // gone mid-batch
  close(slow);
  int huge = Connect(host.root, SOCK_SEQPACKET, "/var/run/pelldan/wisp-user.sock");
  send(huge, rec.data(), 40, 0);
  send(huge, std::string(140000, 'u').data(), 140000, MSG_NOSIGNAL);  // larger than any batch
  close(huge);
  for (int round = 0; round < 5; ++round) {
    std::vector<int> fds;
    for (int i = 0; i < 12; ++i)
      fds.push_back(Connect(host.root, SOCK_SEQPACKET, "/var/run/pelldan/wisp-user.sock"));
    for (int fd : fds) close(fd);
  }
  EXPECT_TRUE(host.log.WaitFor("Dropping the rest of a batch"));
  EXPECT_TRUE(host.log.WaitFor("Dropping malformed wisp"));
  ExpectHealthy(host, baseline);
  EXPECT_EQ(host.Flares().size(), 1u);  // no garbage made it to a flare
}

TEST(Faults, TraceClientsThatNeverReadOrComeAndGo) {
  Host host("", {}, true, kEnv);
  long baseline = ResidentKiB(host.wispd->Pid());
  int idle = Connect(host.root, SOCK_STREAM, "/var/run/pelldan/wispd-trace.sock");
  ASSERT_GE(idle, 0);
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    while (!stop) {
      int fd = Connect(host.root, SOCK_STREAM, "/var/run/pelldan/wispd-trace.sock");
      if (fd >= 0) close(fd);
    }
  });
  std::string batch = R"({"batch": [)";
  for (int i = 0; i < 30; ++i)
    batch += std::string(i ? "," : "") + R"({"id": "wisp.net.flood", "args": [{"s": ")" +
             std::string(4000, 'f') + R"("}]})";
  batch += "]}";
  // About 70 MiB of trace; the churn ends before anything is asserted.
  int emitted = host.Emit(batch, {"--repeat", "600"}, 100000ms);
  stop = true;
  churn.join();
  ASSERT_EQ(emitted, 0);
  // The dispatcher may still be working through the flood under load.
  EXPECT_TRUE(host.log.WaitFor("bytes behind; disconnecting it\n", 30000ms));
  close(idle);
  ExpectHealthy(host, baseline);
}

TEST(Faults, HubdAbsentOrClosingUnreadThenBack) {
  Host host("", {}, false, kEnv);
  long baseline = ResidentKiB(host.wispd->Pid());
  const std::string apd = ApdLine("naa.q");
  ASSERT_EQ(host.Emit(apd), 0);
  EXPECT_TRUE(host.log.WaitFor("could not be sent immediately to hubd; queueing for retry."));
  int rude = simhost::BindUnix(SOCK_STREAM, host.root.Under("/var/run/pelldan/hubd-flare.sock"), 8);
  std::thread closer([&] {
    for (int i = 0; i < 3; ++i) {
      int c = accept(rude, nullptr, nullptr);
      if (c >= 0) close(c);
    }
  });
  ASSERT_EQ(host.Emit(apd + apd + apd), 0);
  closer.join();
  close(rude);
  // hubd's path appears once it listens: not before, with ours gone.
  unlink(host.root.Under("/var/run/pelldan/hubd-flare.sock").c_str());
  host.hubd = std::make_unique<Process>(
      Bin("hubd"), std::vector<std::string>{"--out", host.root.Under("/hubd.jsonl")});
  ASSERT_TRUE(WaitUntil(
      [&] { return access(host.root.Under("/var/run/pelldan/hubd-flare.sock").c_str(), 0) == 0; }));
  ExpectHealthy(host, baseline);
}

TEST(Faults, HostModelTruncatedCorruptedAndDeletedWhileRunning) {
  const std::string model = R"({"system": {"uuid": "4c4c4544-0042-3510-8052-b4c04f4e4d32"}})";
  Host host(model, {}, true, kEnv);
  long baseline = ResidentKiB(host.wispd->Pid());
  const std::string apd = ApdLine("naa.m");
  std::ofstream(host.root.Under("/etc/pelldan/simhost.json"), std::ios::trunc)
      << model.substr(0, 20);  // truncated in place
  ASSERT_EQ(host.Emit(apd), 0);
  // The simulated host says so on standard error, never in the daemon's syslog.
  EXPECT_TRUE(WaitUntil([&] {
    return host.wispd->Stderr().find("keeping the last good model") != std::string::npos;
  }));
  EXPECT_EQ(host.log.Count("keeping the last good model"), 0u);
  host.root.WriteFile("/etc/pelldan/simhost.json", std::string("\x00\xff{[\"", 5));
  ASSERT_EQ(host.Emit(apd), 0);
  ASSERT_EQ(unlink(host.root.Under("/etc/pelldan/simhost.json").c_str()), 0);
  ASSERT_EQ(host.Emit(apd), 0);
  ASSERT_TRUE(host.WaitForFlares(3));
  ExpectHealthy(host, baseline);
}

}  // namespace
