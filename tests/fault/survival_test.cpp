// Faults the daemon and hubd must survive: failing system calls (through
// the LD_PRELOAD shim in tests/faultinject), descriptors running out, a
// frozen hubd, planted symlinks, a lost syslog socket and clock steps.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

#include "agent_table.h"
#include "base/wispdStats.h"
#include "pelldan/accept_pause.h"
#include "pelldan/syslog.h"
#include "sandbox.h"
#include "simhost/sockets.h"

using namespace testing_support;

namespace {

const std::string kShim = "LD_PRELOAD=" WISPD_FAULT_SHIM;
const std::string kAccelerated = "LD_PRELOAD=" WISPD_FAULT_SHIM ":" WISPD_FAKETIME_LIB;

size_t OpenFds(pid_t pid) {
  size_t n = 0;
  DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  while (d != nullptr && readdir(d) != nullptr) ++n;
  if (d != nullptr) closedir(d);
  return n;
}

// User plus system CPU time in clock ticks.
long CpuTicks(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream rest(all.substr(all.rfind(')') + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return utime + stime;
}

const std::string kLocked =
    R"({"id": "wisp.user.account.locked", "args": [{"s": "op"}, {"i32": 900}, {"i32": 5}]})"
    "\n";

// A trace client that received the history's closing empty line.
bool TraceServed(const Root &root) {
  int fd = simhost::ConnectUnix(SOCK_STREAM, root.Under("/var/run/pelldan/wispd-trace.sock"));
  struct timeval limit = {5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  char c = 0;
  while (fd >= 0 && read(fd, &c, 1) == 1 && c != '\n') {
  }
  if (fd >= 0) close(fd);
  return c == '\n';
}

struct SyscallFault {
  const char *faults;  // the shim's rules, counted from the moment they are armed
  bool accelerated;    // daemon time 60 times faster, for the 180-second retry
  std::string input;
  size_t flares;  // flares hubd receives in the end
  std::vector<std::string> logged;
  size_t auditLines;  // lines in the audit journal
};

TEST(Survival, FailingSystemCallsLeaveTheDaemonServing) {
  const std::string queued = "could not be sent immediately to hubd; queueing for retry.";
  // After one failure or more: under the 60-fold clock a pass's 2 s limit
  // for a send is 33 ms of real time, which a busy machine may exceed; hubd
  // then records a cut record, and a later pass sends it whole.
  const std::string resent = "Successfully sent event (tarn.problem.storage.apd.start) after ";
  const SyscallFault rows[] = {
      // Interrupted pipe writes are continued: nothing lost, nothing logged.
      {"write:EINTR:1-40", false, ApdLine("naa.1") + ApdLine("naa.2") + ApdLine("naa.3"), 3, {}, 0},
      // hubd's backlog full, or nobody listening: the flare waits for the retry.
      {"connect:EAGAIN:1", true, ApdLine("naa.4"), 1, {queued, resent}, 0},
      {"connect:ECONNREFUSED:1", true, ApdLine("naa.5"), 1, {queued, resent}, 0},
      // A full or failing disk costs the journal line, not the flare.
      {"write.file:ENOSPC:1", false, kLocked + kLocked, 2, {}, 1},
      {"write.file:EIO:1", false, kLocked + kLocked, 2, {}, 1},
  };
  for (const SyscallFault &row : rows) {
    SCOPED_TRACE(row.faults);
    Root root;
    std::string arm = root.Under("/arm");
    std::vector<std::string> env = {row.accelerated ? kAccelerated : kShim,
                                    std::string("WISPD_FAULTS=") + row.faults,
                                    "WISPD_FAULTS_ARM=" + arm, "FAKETIME=+0 x60"};
    if (!row.accelerated) env.pop_back();
    Host host("", {}, true, env);
    ASSERT_TRUE(host.wispd->Running());
    size_t fds = OpenFds(host.wispd->Pid());
    root.WriteFile("/arm", "");
    if (!row.input.empty()) {
      ASSERT_EQ(host.Emit(row.input), 0);
    }
    EXPECT_TRUE(host.WaitForFlares(row.flares, 10000ms));
    for (const std::string &line : row.logged) {
      EXPECT_TRUE(host.log.WaitFor(line, 10000ms)) << line;
      EXPECT_EQ(host.log.Count(line), 1u) << line;
    }
    size_t decoded = 0;
    for (const std::string &line : host.Flares())
      decoded += line.find("\"id\":") != std::string::npos;
    EXPECT_EQ(decoded, row.flares);
    EXPECT_EQ(Lines(host.root.Under("/var/log/pelldan/audit.jsonl")).size(), row.auditLines);
    EXPECT_TRUE(WaitUntil([&] { return OpenFds(host.wispd->Pid()) == fds; }))
        << OpenFds(host.wispd->Pid()) << " descriptors, " << fds << " before";
    unlink(arm.c_str());
    host.ExpectStops();
  }
}

TEST(Survival, HubdCountsOnlyTheLinesItWrote) {
  Root root;
  LogCapture log(root);
  Process hubd(Bin("hubd"), {"--out", root.Under("/hubd.jsonl")},
               {kShim, "WISPD_FAULTS=write.file:ENOSPC:2"});
  ASSERT_TRUE(WaitUntil(
      [&] { return access(root.Under("/var/run/pelldan/hubd-flare.sock").c_str(), 0) == 0; }));
  Process wispd(Bin("wispd"), {});
  ASSERT_TRUE(log.WaitFor("wispd setup completed"));
  ASSERT_EQ(testing_support::Run(Bin("wisp-emit"), {"--wait", "5"},
                                 ApdLine("naa.1") + ApdLine("naa.2") + ApdLine("naa.3")),
            0);
  ASSERT_TRUE(log.WaitFor("[tarn.problem.storage.apd.start]"));
  ASSERT_TRUE(WaitUntil([&] { return Lines(root.Under("/hubd.jsonl")).size() == 2; }));
  ASSERT_TRUE(
      WaitUntil([&] { return hubd.Stderr().find("cannot write a line") != std::string::npos; }));
  hubd.Signal(SIGTERM);
  int status = hubd.Wait();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(Lines(root.Under("/hubd.jsonl")).size(), 2u);
  EXPECT_NE(hubd.Stderr().find("hubd: cannot write a line: No space left on device\n"),
            std::string::npos);
  EXPECT_NE(hubd.Stderr().find("hubd: 2 flares, 0 records that did not decode\n"),
            std::string::npos)
      << hubd.Stderr();
}

// A hubd that takes no connection (frozen, its backlog full): each flare
// fails at once and waits for the retry, so intake goes on at full pace
// (at 2 s a flare it would take ten minutes) and the stop is not held.
TEST(Survival, HubdTakingNothingLeavesIntakeRunning) {
  Host host("", {}, false);
  int frozen =
      simhost::BindUnix(SOCK_STREAM, host.root.Under("/var/run/pelldan/hubd-flare.sock"), 0);
  ASSERT_GE(frozen, 0);
  std::string burst;
  for (int i = 0; i < 300; ++i) burst += ApdLine("naa.burst" + std::to_string(i));
  host.root.WriteFile("/burst.jsonl", burst);
  Process emit(Bin("wisp-emit"), {"--ctx", "3", host.root.Under("/burst.jsonl")});
  std::string s;
  EXPECT_TRUE(WaitUntil(
      [&] {
        s = Snapshot(host.root);
        return Sample(s, R"(wispd_observations_read_total{source="3"})") == 300 &&
               Sample(s, "wispd_flares_sent_total") + Sample(s, "wispd_flares_queued_total") == 300;
      },
      20000ms))
      << s;
  // The backlog took one.
  EXPECT_EQ(Sample(s, "wispd_flares_queued_total"), 299);
  host.ExpectStops();
  close(frozen);
}

// A stop reads every connection hubd had taken or had waiting in its
// backlog: the daemon counted those flares as delivered.
TEST(Survival, HubdReadsEveryWaitingConnectionBeforeItStops) {
  Root root;
  Process hubd(Bin("hubd"), {"--out", root.Under("/hubd.jsonl")});
  const std::string path = root.Under("/var/run/pelldan/hubd-flare.sock");
  struct stat st;
  ASSERT_TRUE(WaitUntil([&] { return stat(path.c_str(), &st) == 0; }));
  hubd.Signal(SIGSTOP);
  for (int i = 0; i < 5; ++i) {
    int fd = simhost::ConnectUnix(SOCK_STREAM, path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(send(fd, "not a flare", 11, MSG_NOSIGNAL), 11);
    close(fd);
  }
  hubd.Signal(SIGTERM);
  hubd.Signal(SIGCONT);
  EXPECT_EQ(ExitCode(hubd.Wait()), 0);
  EXPECT_EQ(Lines(root.Under("/hubd.jsonl")).size(), 5u);
  EXPECT_EQ(hubd.Stderr(), "hubd: 0 flares, 5 records that did not decode\n");
}

// A context that cannot be read ends the daemon, as it always did; the
// line before the end says which one and why.
TEST(Survival, AFailedContextReadIsNamedBeforeTheExit) {
  Root root;
  const std::string arm = root.Under("/arm");
  Host host("", {}, true, {kShim, "WISPD_FAULTS=recv:EIO:1", "WISPD_FAULTS_ARM=" + arm});
  root.WriteFile("/arm", "");
  ASSERT_EQ(host.Emit(ApdLine("naa.eio"), {"--ctx", "3"}), 0);
  EXPECT_EQ(ExitCode(host.wispd->Wait()), EIO);
  EXPECT_TRUE(host.log.WaitFor("Reading kernel context 3 failed: Input/output error; stopping.\n"));
  EXPECT_TRUE(host.log.WaitFor("Exiting. rc:5\n"));
}

// Allocations that fail, on one named thread or every so often on all of
// them: the daemon goes on reading, its counters answer, every agent is
// running or counted as ended, and it stops with status 0.
TEST(Survival, FailedAllocationsLeaveTheDaemonServingAndStoppable) {
  if (std::string(WISPD_SANITIZED) != "") GTEST_SKIP() << "the sanitizer owns the allocator";
  struct Case {
    const char *thread;
    const char *fail;
    const char *logged;  // a line that must come ("" none)
  } cases[] = {
      // The dispatcher's trace. Its first allocation makes the buffer lines
      // are built in: without it a fresh one serves. Its second is the
      // line's room: the line is lost, the observation still handled.
      {"wispd", "1", ""},
      {"wispd", "2", "Out of memory in the trace; carrying on (1 allocation failures so far).\n"},
      // An agent's record buffer: the read fails and the agent ends.
      {"APDCorrelator", "1", "Agent APDCorrelator ended; observations for it are no longer"},
      {"wispdStats", "1", "Out of memory in the counters snapshot; carrying on"},
      // A trace client's two threads with no memory at all: the client is
      // still served and let go.
      {"wispdTraceOut", "1/1", ""},
      {"wispdTraceIn", "1/1", ""},
      // Every fifth allocation of every thread, fifty times, under a burst.
      {"", "2/5/50", ""},
  };
  std::string burst;
  for (int i = 0; i < 40; ++i)
    burst += ApdLine("naa.m" + std::to_string(i)) + kLocked +
             R"({"id": "wisp.net.pnic.linkstate.down", "args": [{"s": "pnic0"}]})"
             "\n";
  for (const Case &c : cases) {
    SCOPED_TRACE(std::string(c.thread) + " " + c.fail);
    Root root;
    const std::string arm = root.Under("/arm");
    Host host("", {}, true,
              {kShim, std::string("WISPD_ALLOC_FAIL=") + c.fail,
               std::string("WISPD_ALLOC_THREAD=") + c.thread, "WISPD_FAULTS_ARM=" + arm});
    root.WriteFile("/arm", "");
    Snapshot(host.root);  // the stats thread allocates here first
    ASSERT_EQ(host.Emit(burst), 0);
    if (*c.logged != '\0') {
      EXPECT_TRUE(host.log.WaitFor(c.logged)) << c.logged;
    }
    std::string s;
    EXPECT_TRUE(WaitUntil([&] {
      s = Snapshot(host.root);
      return Sample(s, R"(wispd_observations_read_total{source="0"})") == 120;
    })) << s;
    EXPECT_EQ(Sample(s, "wispd_agents_running") + Sample(s, "wispd_agents_ended_total"),
              static_cast<long long>(CorrelatorCount()));
    // A failure of one thread leaves the trace serving its clients.
    if (*c.thread != '\0') {
      EXPECT_TRUE(TraceServed(host.root));
    }
    ASSERT_TRUE(host.wispd->Running());
    host.ExpectStops();
  }
}

// Memory gone just as the daemon stops: every allocation of the main thread
// fails from just before the signal. The stop still cancels every agent, logs its
// totals and ends with status 0.
TEST(Survival, AStopWithoutMemoryEndsCleanly) {
  if (std::string(WISPD_SANITIZED) != "") GTEST_SKIP() << "the sanitizer owns the allocator";
  Root root;
  const std::string arm = root.Under("/arm");
  Host host("", {}, true,
            {kShim, "WISPD_ALLOC_FAIL=1/1", "WISPD_ALLOC_THREAD=wispd", "WISPD_FAULTS_ARM=" + arm});
  host.ExpectServing("naa.before");
  root.WriteFile("/arm", "");
  host.ExpectStops();
  EXPECT_TRUE(host.log.WaitFor("Counters at exit: observations read 1, "));
}

struct Planted {
  const char *link;  // under the root
  bool targetIsDir;  // the link points at a directory outside the root
  int status;        // the daemon's exit status
};

TEST(Survival, PlantedSymlinksAreRefused) {
  const Planted rows[] = {
      {"/var/run/pelldan/wispd.lock", false, ELOOP},
      {"/var/run/pelldan/mantle", true, ENOTDIR},
  };
  for (const Planted &row : rows) {
    SCOPED_TRACE(row.link);
    Root root;
    Root outside;
    std::string target = outside.Under(row.targetIsDir ? "/dir" : "/victim");
    if (row.targetIsDir) {
      ASSERT_EQ(mkdir(target.c_str(), 0755), 0);
    }
    std::ofstream(outside.Under("/victim")) << "kept\n";
    ASSERT_EQ(symlink(target.c_str(), root.Under(row.link).c_str()), 0);
    setenv("WISPD_ROOT", root.Path().c_str(), 1);
    mode_t old = umask(0);  // sockets must not depend on the caller's umask either
    Process wispd(Bin("wispd"), {});
    umask(old);
    int status = wispd.Wait();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), row.status);
    EXPECT_EQ(Lines(outside.Under("/victim")), std::vector<std::string>{"kept"});
    if (row.targetIsDir) {
      EXPECT_EQ(rmdir(target.c_str()), 0) << "something was made outside";
    }
  }
}

struct Listener {
  const char *path;
  int type;
  bool ofHubd;
  const char *starts;  // the line of an episode's start
};

// Real exhaustion: the process's descriptor limit is lowered to what it
// holds, clients connect, and the listener must neither spin nor log each
// failure; once the limit is back the waiting clients are served.
TEST(Survival, ListenersRestWhileDescriptorsRunOut) {
  const Listener rows[] = {
      {"/var/run/pelldan/wispd-trace.sock", SOCK_STREAM, false,
       "Trace accept() failed: Too many open files"},
      {"/var/run/pelldan/wisp-user.sock", SOCK_SEQPACKET, false,
       "User-level accept() failed: Too many open files\n"},
      {"/var/run/pelldan/wispd-stats.sock", SOCK_STREAM, false,
       "Counters accept() failed: Too many open files\n"},
      {"/var/run/pelldan/hubd-flare.sock", SOCK_STREAM, true,
       "hubd: accept failed: Too many open files\n"},
  };
  for (const Listener &row : rows) {
    SCOPED_TRACE(row.path);
    Host host;
    Process &target = row.ofHubd ? *host.hubd : *host.wispd;
    auto seen = [&](const std::string &text) {
      return row.ofHubd ? target.Stderr().find(text) != std::string::npos
                        : host.log.Count(text) > 0;
    };
    struct rlimit open = {}, tight = {};
    ASSERT_EQ(prlimit(target.Pid(), RLIMIT_NOFILE, nullptr, &open), 0);
    // A new descriptor takes the lowest free number: at that limit none fits.
    std::set<int> used;
    DIR *d = opendir(("/proc/" + std::to_string(target.Pid()) + "/fd").c_str());
    while (dirent *e = readdir(d))
      if (e->d_name[0] != '.') used.insert(atoi(e->d_name));
    closedir(d);
    tight = open;
    for (tight.rlim_cur = 0; used.count(static_cast<int>(tight.rlim_cur)) != 0;) ++tight.rlim_cur;
    ASSERT_EQ(prlimit(target.Pid(), RLIMIT_NOFILE, &tight, nullptr), 0);
    std::vector<int> clients;
    for (int i = 0; i < 6; ++i)
      clients.push_back(simhost::ConnectUnix(row.type, host.root.Under(row.path)));
    ASSERT_TRUE(WaitUntil([&] { return seen(row.starts); }));
    long ticks = CpuTicks(target.Pid());
    usleep(1000000);
    EXPECT_LT(CpuTicks(target.Pid()) - ticks, sysconf(_SC_CLK_TCK) / 5) << "spinning";
    if (!row.ofHubd) {
      EXPECT_EQ(host.log.Count(row.starts), 1u);
    }
    ASSERT_EQ(prlimit(target.Pid(), RLIMIT_NOFILE, &open, nullptr), 0);
    EXPECT_TRUE(
        WaitUntil([&] { return seen("while descriptors ran out; accepting again\n"); }, 3000ms));
    for (int fd : clients) close(fd);
    if (!row.ofHubd) {
      EXPECT_TRUE(TraceServed(host.root));
    }
    host.ExpectStops();
  }
}

// The wall clock stepped back an hour after the rate window filled up: the
// next flare opens a new window instead of waiting for the clock to catch up.
TEST(Survival, ClockStepBackOpensANewRateWindow) {
  Root root;
  std::string clock = root.Under("/faketime");
  std::ofstream(clock) << "+0\n";
  Host host("", {}, true,
            {"LD_PRELOAD=" WISPD_FAKETIME_LIB, "FAKETIME_TIMESTAMP_FILE=" + clock,
             "FAKETIME_NO_CACHE=1", "FAKETIME_DONT_FAKE_MONOTONIC=1"});
  std::string burst;
  for (int i = 0; i < 1001; ++i) burst += ApdLine("naa.r" + std::to_string(i));
  ASSERT_EQ(host.Emit(burst), 0);
  ASSERT_TRUE(
      host.log.WaitFor("Event rate limit reached. Dropping flare: "
                       "tarn.problem.storage.apd.start\n",
                       20000ms));
  ASSERT_TRUE(host.WaitForFlares(1000, 20000ms));
  std::ofstream(clock, std::ios::trunc) << "-3600\n";
  ASSERT_EQ(host.Emit(ApdLine("naa.after")), 0);
  ASSERT_TRUE(host.WaitForFlares(1001));
  EXPECT_NE(host.Flares().back().find("naa.after"), std::string::npos);
  host.ExpectStops();
}

// socket() for the log fails once (no descriptor left): that line is lost,
// the next one arrives.
TEST(Survival, SyslogComesBackAfterAFailedSocket) {
  Root root;
  int status = InChild([&] {
    for (int fd = 3; fd < 1024; ++fd) close(fd);  // the test's own, and any log socket
    int collector = simhost::BindUnix(SOCK_DGRAM, root.Under("/dev/log"), 0);
    if (dup2(collector, 100) != 100 || dup2(open("/dev/null", O_RDONLY), collector) != collector)
      return 2;
    struct rlimit limit = {static_cast<rlim_t>(collector + 1), 1024};
    setrlimit(RLIMIT_NOFILE, &limit);
    Say("lost");
    limit.rlim_cur = 1024;
    setrlimit(RLIMIT_NOFILE, &limit);
    Say("back");
    // A log descriptor closed under it is made again and the line sent.
    for (int fd = 3; fd < 1024; ++fd)
      if (fd != 100) close(fd);
    Say("again");
    char buf[512];
    for (const char *want :
         {"]: back", "]: 1 log records were dropped: the log collector did not take them.\n",
          "]: again"}) {
      ssize_t n = recv(100, buf, sizeof buf - 1, MSG_DONTWAIT);
      if (n <= 0) return 3;
      buf[n] = '\0';
      if (strstr(buf, want) == nullptr) return 4;
    }
    return recv(100, buf, sizeof buf, MSG_DONTWAIT) < 0 ? 0 : 4;
  });
  EXPECT_EQ(status, 0) << "2: setup, 3: nothing arrived, 4: wrong records";
}

TEST(Survival, AcceptPauseRestsLongerEachTimeAndEndsWithTheCount) {
  pelldan::AcceptPause pause;
  bool starts = true;
  EXPECT_FALSE(pause.Failed(ECONNABORTED, 0, &starts));
  EXPECT_FALSE(starts);
  EXPECT_EQ(pause.RestMs(0), 0);
  const int rests[] = {50, 100, 200, 400, 800, 1000, 1000};
  int64_t now = 1000;
  for (int i = 0; i < 7; ++i) {
    ASSERT_TRUE(pause.Failed(ENFILE, now, &starts));
    EXPECT_EQ(starts, i == 0);
    EXPECT_EQ(pause.RestMs(now), rests[i]);
    EXPECT_EQ(pause.RestMs(now + rests[i]), 0);
    now += rests[i];
  }
  EXPECT_EQ(pause.Succeeded(), 7u);
  EXPECT_EQ(pause.Succeeded(), 0u);
  ASSERT_TRUE(pause.Failed(EMFILE, now, &starts));
  EXPECT_TRUE(starts);
  EXPECT_EQ(pause.RestMs(now), 50);
}

// Says records until the collector's queue is full; false if none was dropped.
bool FillCollector() {
  for (int i = 0; i < 1000 && Syslog_DroppedRecords() == 0; ++i) Say("filling %d", i);
  return Syslog_DroppedRecords() > 0;
}

// A collector that stops reading: once its queue is full a record costs a
// few milliseconds and is counted as dropped, never a hang; when it reads
// again, the next record goes and one more says how many did not.
TEST(Survival, AStoppedCollectorCostsEachRecordLittleAndIsCounted) {
  Root root;
  int status = InChild([&] {
    int collector = simhost::BindUnix(SOCK_DGRAM, root.Under("/dev/log"), 0);
    if (collector < 0) return 2;
    if (!FillCollector()) return 3;
    uint64_t dropped = Syslog_DroppedRecords();
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 400; ++i) Say("dropped %d", i);
    // Once one record waited in vain the next are tried once each: 400 take
    // far less than a second, where 5 ms each would take at least 2 s and a
    // wait without bound never gets here.
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(1)) return 4;
    if (Syslog_DroppedRecords() != dropped + 400) return 5;
    char buf[512];
    while (recv(collector, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
    Say("back");
    std::string said = std::to_string(dropped + 400) +
                       " log records were dropped: the log collector did not take them.\n";
    for (const std::string &want : {std::string("]: back"), "]: " + said}) {
      ssize_t n = recv(collector, buf, sizeof buf - 1, MSG_DONTWAIT);
      if (n <= 0) return 6;
      buf[n] = '\0';
      if (strstr(buf, want.c_str()) == nullptr) return 7;
    }
    return 0;
  });
  EXPECT_EQ(status, 0) << "2: setup, 3: nothing dropped, 4: not bounded, 5: not counted, "
                          "6: nothing arrived, 7: wrong records";
}

// The count of dropped records sums what each report said.
uint64_t ReportedDrops(int collector) {
  const std::string said = " log records were dropped: the log collector did not take them.\n";
  uint64_t sum = 0;
  char buf[512];
  ssize_t n;
  while ((n = recv(collector, buf, sizeof buf - 1, MSG_DONTWAIT)) > 0) {
    std::string record(buf, static_cast<size_t>(n));
    size_t at = record.find("]: ");
    if (at != std::string::npos && record.find(said) != std::string::npos)
      sum += strtoull(record.c_str() + at + 3, nullptr, 10);
  }
  return sum;
}

// The collector takes one record and is full again before the report of the
// dropped ones: that report waits for the next chance, its count kept.
TEST(Survival, AReportOfDroppedRecordsTheCollectorRefusedKeepsItsCount) {
  Root root;
  int status = InChild([&] {
    int collector = simhost::BindUnix(SOCK_DGRAM, root.Under("/dev/log"), 0);
    if (collector < 0) return 2;
    if (!FillCollector()) return 3;
    char buf[512];
    if (recv(collector, buf, sizeof buf, MSG_DONTWAIT) <= 0) return 2;
    Say("filling again");  // takes the one place; its report finds none
    uint64_t reported = ReportedDrops(collector);
    Say("back");
    reported += ReportedDrops(collector);
    if (reported == Syslog_DroppedRecords()) return 0;
    fprintf(stderr, "reports said %llu of %llu records dropped\n",
            static_cast<unsigned long long>(reported),
            static_cast<unsigned long long>(Syslog_DroppedRecords()));
    return 4;
  });
  EXPECT_EQ(status, 0) << "2: setup, 3: nothing dropped, 4: the reports do not add up to the count";
}

// The counted waits for room, as the stats snapshot shows them.
uint64_t RenderedRoomWaits(double *seconds) {
  std::istringstream in(Stats_Render(0));
  std::string line;
  uint64_t waits = 0;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string name;
    words >> name;
    if (name == "wispd_log_room_waits_total") words >> waits;
    if (name == "wispd_log_room_wait_seconds_total") words >> *seconds;
  }
  return waits;
}

// A record that finds the collector's queue full is counted as a wait, with
// the time until it went or was given up: one that a read let in arrives
// after those before it, one the collector never made room for waited
// its few milliseconds at least. The snapshot shows both as counted.
TEST(Survival, WaitsForRoomAreCountedWithTheirTime) {
  Root root;
  int status = InChild([&] {
    int collector = simhost::BindUnix(SOCK_DGRAM, root.Under("/dev/log"), 0);
    int filler = simhost::ConnectUnix(SOCK_DGRAM, root.Under("/dev/log"));
    if (collector < 0 || filler < 0) return 2;
    Say("first");  // the collector takes records: the next may wait for it
    while (send(filler, "fill", 4, MSG_DONTWAIT) == 4) {
    }
    if (errno != EAGAIN) return 2;
    const uint64_t waits = Syslog_RoomWaits(), waited = Syslog_RoomWaitNanoseconds();
    const uint64_t dropped = Syslog_DroppedRecords();
    // Room is made once the record waits for it, not before (and never
    // when no wait was counted: the queue is full, so the read is at once).
    std::atomic<bool> said{false};
    std::thread reader([&] {
      while (Syslog_RoomWaits() == waits && !said) std::this_thread::yield();
      char one[512];
      recv(collector, one, sizeof one, MSG_DONTWAIT);
    });
    Say("let in");
    said = true;
    reader.join();
    if (Syslog_DroppedRecords() != dropped) return 3;
    if (Syslog_RoomWaits() != waits + 1 || Syslog_RoomWaitNanoseconds() <= waited) return 4;
    const uint64_t before = Syslog_RoomWaitNanoseconds();
    Say("never let in");
    if (Syslog_DroppedRecords() != dropped + 1) return 5;
    if (Syslog_RoomWaits() != waits + 2 || Syslog_RoomWaitNanoseconds() - before < 4000000)
      return 6;
    char buf[512];
    std::string last;
    ssize_t n;
    while ((n = recv(collector, buf, sizeof buf, MSG_DONTWAIT)) > 0)
      last.assign(buf, static_cast<size_t>(n));
    if (last.find("]: let in") == std::string::npos) return 7;
    double seconds = -1;
    if (RenderedRoomWaits(&seconds) != Syslog_RoomWaits()) return 8;
    double counted = static_cast<double>(Syslog_RoomWaitNanoseconds()) / 1e9;
    return seconds >= 0.004 && std::abs(seconds - counted) < 1e-9 ? 0 : 8;
  });
  EXPECT_EQ(status, 0) << "2: setup, 3: dropped, 4: the wait not counted, 5: not dropped, "
                          "6: the vain wait not counted, 7: not in order, 8: not in the snapshot";
}

// Records held by a thread go with the user facility, as those written
// one by one: "<14>" is user.info.
TEST(Survival, HeldRecordsGoWithTheUserFacility) {
  Root root;
  int status = InChild([&] {
    int collector = simhost::BindUnix(SOCK_DGRAM, root.Under("/dev/log"), 0);
    if (collector < 0) return 2;
    Say("alone");
    Syslog_Hold();
    Say("held");
    Syslog_Release();
    char buf[512];
    for (const char *want : {"]: alone", "]: held"}) {
      ssize_t n = recv(collector, buf, sizeof buf - 1, MSG_DONTWAIT);
      if (n <= 0) return 3;
      buf[n] = '\0';
      if (strstr(buf, want) == nullptr) return 3;
      if (strncmp(buf, "<14>", 4) != 0) {
        fprintf(stderr, "came as %s\n", buf);
        return 4;
      }
    }
    return 0;
  });
  EXPECT_EQ(status, 0) << "2: setup, 3: records missing, 4: not user.info";
}

}  // namespace
