// Running the daemon as an operator does: one daemon per root, a usable
// root, counters, and readiness for a service manager.
#include <gtest/gtest.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "records.h"
#include "sandbox.h"
#include "simhost/sockets.h"

using namespace testing_support;

namespace {

const std::string kApd = ApdLine("naa.ops");

std::string Hex(const std::string &bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

TEST(Operations, SecondDaemonOnARootIsRefusedAndTheFirstKeepsServing) {
  Host host;
  Process second(Bin("wispd"), {});
  EXPECT_EQ(ExitCode(second.Wait()), EBUSY);
  const std::string held =
      "Kernel contexts are in use: " + host.root.Under("/var/run/pelldan/wispd.lock") +
      " is held by pid " + std::to_string(host.wispd->Pid()) + "\n";
  EXPECT_EQ(second.Stderr(), "wispd: " + held);
  EXPECT_TRUE(host.log.WaitFor("Exiting. rc:16\n"));
  EXPECT_EQ(host.log.Count("Kernel contexts are in use"), 0u);
  EXPECT_EQ(host.log.Count("wispd setup completed"), 1u);

  host.ExpectServing("naa.ops");
  // The first daemon's sockets are still its own: a trace client connects.
  int trace =
      simhost::ConnectUnix(SOCK_STREAM, host.root.Under("/var/run/pelldan/wispd-trace.sock"));
  EXPECT_GE(trace, 0);
  if (trace >= 0) close(trace);
  EXPECT_NE(Snapshot(host.root), "");
}

TEST(Operations, EmptyRelativeOrMissingRootIsRefusedByEveryProgram) {
  Root root;
  const std::string missing = root.Under("/misspelt");
  const std::pair<std::string, std::string> cases[] = {
      {"", "WISPD_ROOT is set but empty"},
      {"relative/root", "WISPD_ROOT=relative/root is not an absolute"},
      {missing, "WISPD_ROOT=" + missing + " cannot be used: No such file or directory"}};
  for (const auto &[value, reason] : cases) {
    for (const char *program :
         {"wispd", "wispd-selftest", "hubd", "wisp-emit", "wisp-syslog", "wisp-trace",
          "wisp-flares", "wisp-stats", "wisp-reason", "wisp-testworld"}) {
      Process p(Bin(program), {}, {"WISPD_ROOT=" + value});
      int status = p.Wait();
      EXPECT_NE(ExitCode(status), 0) << program << " '" << value << "'";
      EXPECT_NE(p.Stderr().find(reason), std::string::npos) << program << ": " << p.Stderr();
    }
  }
  struct stat st;
  EXPECT_NE(stat("relative", &st), 0);
  EXPECT_NE(stat(missing.c_str(), &st), 0);
  // Only wisp-root creates a root, wherever WISPD_ROOT points.
  Process init(Bin("wisp-root"), {"init", missing}, {"WISPD_ROOT=" + missing});
  EXPECT_EQ(ExitCode(init.Wait()), 0) << init.Stderr();
  EXPECT_EQ(stat(missing.c_str(), &st), 0);
}

TEST(Operations, HubdAndSyslogNeverReplaceASocketThatAnswers) {
  Host host;
  for (const char *program : {"hubd", "wisp-syslog"}) {
    Process second(Bin(program), {});
    EXPECT_EQ(ExitCode(second.Wait()), 1) << program;
    EXPECT_NE(second.Stderr().find("Address already in use"), std::string::npos) << program;
  }
  host.ExpectServing("naa.ops");
  EXPECT_TRUE(host.log.WaitFor("[tarn.problem.storage.apd.start]"));

  // A file left by a dead process is replaced.
  Root root;
  int fd = simhost::BindUnix(SOCK_STREAM, root.Under("/var/run/pelldan/hubd-flare.sock"), 1);
  ASSERT_GE(fd, 0);
  close(fd);
  Process hubd(Bin("hubd"), {});
  EXPECT_TRUE(WaitUntil([&] {
    return simhost::ConnectUnix(SOCK_STREAM, root.Under("/var/run/pelldan/hubd-flare.sock")) >= 0;
  }));
  EXPECT_TRUE(hubd.Running());
}

TEST(Operations, CountersMatchAKnownRunOfGoodMalformedAndRateLimitedObservations) {
  Host host;
  std::string malformed = Record("wisp.storage.apd.start", {Str("naa.bad")});
  malformed[20] = 99;  // argument count far beyond the record
  std::string early =
      kApd + kApd + R"({"raw": "00"})" + "\n" + R"({"raw": ")" + Hex(malformed) + R"(", "ctx": 3})";
  ASSERT_EQ(host.Emit(early, {"--ctx", "user"}), 0);
  ASSERT_TRUE(host.WaitForFlares(2));
  // 1000 flares fill the rate window; the last two of these are dropped.
  ASSERT_EQ(host.Emit(kApd, {"--ctx", "3", "--repeat", "1000"}), 0);
  ASSERT_TRUE(host.WaitForFlares(1000, 30000ms));
  ASSERT_TRUE(WaitUntil([&] { return host.log.Count("Event rate limit reached") == 2; }, 30000ms));

  std::string s = Snapshot(host.root);
  EXPECT_EQ(Sample(s, R"(wispd_observations_read_total{source="user"})"), 2);
  EXPECT_EQ(Sample(s, R"(wispd_observations_read_total{source="3"})"), 1000);
  EXPECT_EQ(Sample(s, R"(wispd_observations_read_total{source="0"})"), 0);
  EXPECT_EQ(Sample(s, R"(wispd_records_dropped_total{reason="malformed"})"), 1);
  EXPECT_EQ(Sample(s, "wispd_batches_cut_short_total"), 1);
  EXPECT_EQ(Sample(s, R"(wispd_flares_posted_total{kind="problem"})"), 1000);
  EXPECT_EQ(Sample(s, R"(wispd_flares_posted_total{kind="audit"})"), 0);
  EXPECT_EQ(Sample(s, "wispd_flares_rate_dropped_total"), 2);
  EXPECT_EQ(Sample(s, "wispd_flares_queued_total"), 0);
  EXPECT_EQ(Sample(s, "wispd_flare_queue_length"), 0);

  Process table(Bin("wisp-stats"), {});
  EXPECT_EQ(ExitCode(table.Wait()), 0);
  // Every row as wide as the others (the longest agent name sets the name
  // column), each value at the end of its row.
  std::istringstream rows(table.Stdout());
  std::string row, source3, version;
  size_t width = 0;
  while (std::getline(rows, row)) {
    if (width == 0) width = row.size();
    EXPECT_EQ(row.size(), width) << row << "\n" << table.Stdout();
    if (row.rfind("observations read (source 3) ", 0) == 0) source3 = row;
    if (row.rfind("daemon version ", 0) == 0) version = row;
  }
  EXPECT_EQ(source3.substr(source3.size() - 5), " 1000") << table.Stdout();
  EXPECT_EQ(version.substr(version.size() - strlen(WISPD_PROJECT_VERSION) - 1),
            " " WISPD_PROJECT_VERSION)
      << table.Stdout();
  EXPECT_EQ(table.Stdout().find("(source 0)"), std::string::npos);  // idle sources left out

  host.wispd->Signal(SIGTERM);
  EXPECT_EQ(ExitCode(host.wispd->Wait()), 0);
  EXPECT_TRUE(host.log.WaitFor(
      "Counters at exit: observations read 1002, malformed records 1, batches cut short 1, "
      "batches too large 0, flares posted 1000 (problem 1000, audit 0, clear 0), dropped by the "
      "rate window 2, queued 0, retries 0, resent 0, abandoned 0, lost with the queue 0, trace "
      "clients refused 0, dropped 0, flares lost 0, agents ended 0, agent stalls 0, allocation "
      "failures 0, log records dropped 0\n"));
  struct stat st;
  EXPECT_NE(stat(host.root.Under("/var/run/pelldan/wispd-stats.sock").c_str(), &st), 0);
}

TEST(Operations, FlaresStillQueuedAtExitAreCountedAndNamed) {
  Host host("", {}, false);
  ASSERT_EQ(host.Emit(kApd), 0);
  ASSERT_TRUE(host.log.WaitFor("queueing for retry"));
  // The queue takes the flare after the line is logged.
  EXPECT_TRUE(WaitUntil([&] {
    std::string s = Snapshot(host.root);
    return Sample(s, "wispd_flares_queued_total") == 1 &&
           Sample(s, "wispd_flare_queue_length") == 1;
  }));
  host.wispd->Signal(SIGTERM);
  EXPECT_EQ(ExitCode(host.wispd->Wait()), 0);
  EXPECT_TRUE(
      host.log.WaitFor("queued 1, retries 0, resent 0, abandoned 0, lost with the queue 1,"));
  EXPECT_TRUE(
      host.log.WaitFor("Flare lost with the retry queue: tarn.problem.storage.apd.start\n"));
}

TEST(Operations, StatsSocketIsPrivateAndAnswersUnderLoad) {
  Host host;
  struct stat st;
  ASSERT_EQ(stat(host.root.Under("/var/run/pelldan/wispd-stats.sock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  char in[] = "/tmp/wispd-load-XXXXXX";
  int fd = mkstemp(in);
  std::string line = R"({"id": "wisp.scsi.load", "args": [{"s": "naa.load"}]})"
                     "\n";
  ASSERT_EQ(write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  close(fd);
  Process load(Bin("wisp-emit"), {"--repeat", "200000"}, {}, in);
  long long seen = 0;
  int answers = 0;
  while (load.Running() && answers < 20) {
    std::string s = Snapshot(host.root);
    ASSERT_NE(s, "");
    ++answers;
    long long now = Sample(s, R"(wispd_observations_read_total{source="0"})");
    EXPECT_GE(now, seen);  // counters never go back
    seen = now;
    usleep(20000);
  }
  EXPECT_EQ(answers, 20);
  EXPECT_GT(seen, 0);
  load.Signal(SIGTERM);
  load.Wait();
  unlink(in);
  EXPECT_TRUE(host.wispd->Running());
}

TEST(Operations, TellsAServiceManagerWhenReadyAndWhenStopping) {
  Root root;
  LogCapture log(root);
  std::string path = root.Under("/notify.sock");
  int fd = simhost::BindUnix(SOCK_DGRAM, path, 0);
  ASSERT_GE(fd, 0);
  struct timeval timeout = {10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  Process wispd(Bin("wispd"), {}, {"NOTIFY_SOCKET=" + path});
  char buf[64];
  ssize_t n = recv(fd, buf, sizeof buf, 0);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "READY=1");
  EXPECT_TRUE(log.WaitFor("wispd setup completed"));  // sent before readiness
  wispd.Signal(SIGTERM);
  n = recv(fd, buf, sizeof buf, 0);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "STOPPING=1");
  EXPECT_EQ(ExitCode(wispd.Wait()), 0);
  close(fd);
}

}  // namespace
