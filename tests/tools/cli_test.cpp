// The tools as a user meets them: help, versions, reasons for bad input,
// totals, and files reopened for log rotation.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "records.h"
#include "sandbox.h"
#include "simhost/sockets.h"

using namespace testing_support;

namespace {

const char *const kTools[] = {"hubd",        "wisp-emit",  "wisp-syslog", "wisp-trace",
                              "wisp-flares", "wisp-stats", "wisp-root"};

// Runs a tool to completion: exit code, standard output and error.
struct Result {
  int code;
  std::string out, err;
};
Result Tool(const std::string &name, const std::vector<std::string> &args) {
  Process p(Bin(name), args);
  int status = p.Wait();
  return {ExitCode(status), p.Stdout(), p.Stderr()};
}

TEST(Tools, AnswerHelpOnStandardOutputAndRefuseUnknownOptions) {
  Root root;
  for (const char *name : kTools) {
    Result help = Tool(name, {"--help"});
    EXPECT_EQ(help.code, 0) << name;
    EXPECT_EQ(help.out.rfind(std::string("usage: ") + name, 0), 0u) << name << ": " << help.out;
    EXPECT_EQ(help.err, "") << name;
    Result bad = Tool(name, {"--no-such-option"});
    EXPECT_EQ(bad.code, 2) << name;
    EXPECT_NE(bad.err.find("usage: "), std::string::npos) << name;
  }
}

TEST(Tools, ShareOneVersionAndReportOutputThatCannotBeWritten) {
  Root root;
  std::vector<std::string> all(std::begin(kTools), std::end(kTools));
  all.insert(all.end(), {"wisp-reason", "wisp-testworld"});
  for (const std::string &name : all) {
    Result version = Tool(name, {"--version"});
    EXPECT_EQ(version.code, 0) << name;
    EXPECT_EQ(version.out, name + " " WISPD_PROJECT_VERSION "\n");
    for (const char *option : {"--help", "--version"}) {
      std::string err;
      int status = testing_support::Run(
          "/bin/sh", {"-c", "exec \"$0\" \"$1\" >/dev/full", Bin(name), option}, "", &err);
      EXPECT_EQ(ExitCode(status), 1) << name << " " << option;
      EXPECT_EQ(err, name + ": cannot write standard output: No space left on device\n");
    }
  }
  // A reader that went away, with SIGPIPE ignored (as a shell's trap leaves it).
  int out[2], err[2];
  ASSERT_EQ(pipe(out), 0);
  ASSERT_EQ(pipe(err), 0);
  close(out[0]);
  std::string stats = Bin("wisp-stats");
  pid_t pid = fork();
  if (pid == 0) {
    signal(SIGPIPE, SIG_IGN);
    dup2(out[1], 1);
    dup2(err[1], 2);
    execl(stats.c_str(), stats.c_str(), "--help", static_cast<char *>(nullptr));
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  char text[256] = {};
  EXPECT_GT(read(err[0], text, sizeof text - 1), 0);
  close(err[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(ExitCode(status), 1);
  EXPECT_STREQ(text, "wisp-stats: cannot write standard output: Broken pipe\n");
}

TEST(Tools, FlaresReportsUnreadableLinesOnStandardErrorAndFails) {
  Root root;
  std::string path = root.Under("/flares.jsonl");
  root.WriteFile("/flares.jsonl",
                 "{\"id\": \"tarn.audit.net.down\", \"message\": \"pnic0 is down\"}\nnot json\n");
  Result r = Tool("wisp-flares", {path});
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(r.out, "AUDIT   tarn.audit.net.down  pnic0 is down\n");
  EXPECT_EQ(r.err, "wisp-flares: " + path + ": line 2 is not a JSON object\n");
}

TEST(Tools, EmitGivesAReasonForEveryRejectedValue) {
  Root root;
  struct Case {
    std::vector<std::string> args;
    const char *reason;
  };
  const Case cases[] = {
      {{"--ctx", "24"}, "wisp-emit: --ctx takes a kernel context 0..23 or \"user\", not \"24\"\n"},
      {{"--ctx", "3x"}, "wisp-emit: --ctx takes a kernel context 0..23 or \"user\", not \"3x\"\n"},
      {{"--wait", "abc"}, "wisp-emit: --wait takes a number of seconds, not \"abc\"\n"},
      {{"--wait", "-1"}, "wisp-emit: --wait takes a number of seconds, not \"-1\"\n"},
      {{"--repeat", "0"}, "wisp-emit: --repeat takes a whole number of at least 1, not \"0\"\n"},
  };
  for (const Case &c : cases) {
    Result r = Tool("wisp-emit", c.args);
    EXPECT_EQ(r.code, 2) << c.args[0] << " " << c.args[1];
    EXPECT_EQ(r.err.rfind(c.reason, 0), 0u) << r.err;
  }
  Result dir = Tool("wisp-emit", {root.Path()});
  EXPECT_EQ(dir.code, 1);
  EXPECT_EQ(dir.err, "wisp-emit: " + root.Path() + " is a directory\n");
  Result missing = Tool("wisp-flares", {root.Under("/none")});
  EXPECT_EQ(missing.code, 1);
  EXPECT_EQ(missing.err,
            "wisp-flares: cannot read " + root.Under("/none") + ": No such file or directory\n");
  EXPECT_EQ(Tool("wisp-flares", {root.Path()}).err,
            "wisp-flares: " + root.Path() + " is a directory\n");
  EXPECT_EQ(Tool("wisp-trace", {"extra"}).code, 2);
}

TEST(Tools, EmitCheckNamesMisfitsAndSendsNothingEmitKeepsTheTimeStamp) {
  Root root;
  // A bound context socket that would receive anything sent.
  ASSERT_TRUE(simhost::MakeDirs(root.Under("/var/run/pelldan/mantle")));
  int sink = simhost::BindUnix(SOCK_DGRAM, root.Under("/var/run/pelldan/mantle/context-0"), 0);
  ASSERT_GE(sink, 0);
  std::string err;
  int status = testing_support::Run(
      Bin("wisp-emit"), {"--check"},
      "{\"id\": \"wisp.a\", \"fmt\": \"%s %d\", \"args\": [{\"s\": \"x\"}, {\"i32\": 1}]}\n"
      "{\"id\": \"wisp.a\", \"fmt\"\n"
      "{\"id\": \"wisp.a\", \"fmt\": \"%d\", \"args\": [{\"s\": \"x\"}]}\n"
      "{\"id\": \"wisp.a\", \"fmt\": \"%s and %s\", \"args\": [{\"s\": \"x\"}]}\n",
      &err);
  EXPECT_EQ(ExitCode(status), 1);
  EXPECT_NE(err.find("stdin: line 2: invalid JSON at column 23: "), std::string::npos) << err;
  EXPECT_NE(err.find("stdin: line 3: argument 0 does not fit \"fmt\" conversion %d (a number)\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("stdin: line 4: \"fmt\" conversion %s has no argument\n"), std::string::npos)
      << err;
  EXPECT_NE(err.find("1 of 4 lines are well formed\n"), std::string::npos) << err;
  char byte;
  EXPECT_EQ(recv(sink, &byte, 1, MSG_DONTWAIT), -1);  // nothing was sent

  uint64_t before = tools::NowMicros();
  status = testing_support::Run(Bin("wisp-emit"), {},
                                "{\"id\": \"wisp.a\", \"ts\": 5}\n{\"sleep\": 0.2}\n"
                                "{\"batch\": [{\"id\": \"wisp.b\"}, {\"id\": \"wisp.c\"}]}\n"
                                "{\"raw\": \"00\"}\n",
                                &err);
  EXPECT_EQ(ExitCode(status), 0);
  EXPECT_EQ(err, "wisp-emit: sent 3 batches (3 observations), 0 failed\n");
  // The first batch is the one record, with the time stamp it was given.
  char batch[256];
  ssize_t n = recv(sink, batch, sizeof batch, MSG_DONTWAIT);
  Wisp *first = MakeWisp(std::string(batch, n > 0 ? static_cast<size_t>(n) : 0));
  uint64_t ts = 0;
  EXPECT_TRUE(first != nullptr && Wisp_GetTimestamp(first, &ts) == 0 && ts == 5) << ts;
  Wisp_Free(first);
  // The batch's records, with none given, carry the time they were sent:
  // after the pause, not when the input was read.
  n = recv(sink, batch, sizeof batch, MSG_DONTWAIT);
  uint32_t firstLength = 0;  // of the batch's first record
  if (n >= 32) memcpy(&firstLength, batch + 16, 4);
  Wisp *second = MakeWisp(std::string(batch, std::min<size_t>(firstLength, sizeof batch)));
  EXPECT_TRUE(second != nullptr && Wisp_GetTimestamp(second, &ts) == 0 && ts >= before + 200000)
      << ts - before;
  Wisp_Free(second);
  close(sink);
}

void SendStream(const std::string &path, const std::string &bytes) {
  int fd = simhost::ConnectUnix(SOCK_STREAM, path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(fd);
}

TEST(Tools, HubdAndSyslogReopenTheirFilesOnHangupAndPrintTotalsOnTerm) {
  Root root;
  std::string flares = root.Under("/flares.jsonl"), logs = root.Under("/syslog.log");
  Process hubd(Bin("hubd"), {"--out", flares});
  Process syslog(Bin("wisp-syslog"), {"--out", logs});
  std::string flareSock = root.Under("/var/run/pelldan/hubd-flare.sock");
  std::string logSock = root.Under("/dev/log");
  struct stat st;
  ASSERT_TRUE(WaitUntil(
      [&] { return stat(flareSock.c_str(), &st) == 0 && stat(logSock.c_str(), &st) == 0; }));
  SendStream(flareSock, "not a flare");
  SendDatagram(logSock, "<14>Dec  5 10:00:00 x[1]: first\n");
  ASSERT_TRUE(WaitUntil([&] { return Lines(flares).size() == 1 && Lines(logs).size() == 1; }));

  ASSERT_EQ(rename(flares.c_str(), (flares + ".1").c_str()), 0);
  ASSERT_EQ(rename(logs.c_str(), (logs + ".1").c_str()), 0);
  hubd.Signal(SIGHUP);
  syslog.Signal(SIGHUP);
  ASSERT_TRUE(
      WaitUntil([&] { return stat(flares.c_str(), &st) == 0 && stat(logs.c_str(), &st) == 0; }));
  SendStream(flareSock, "still not a flare");
  SendDatagram(logSock, "<14>Dec  5 10:00:01 x[1]: second\n");
  ASSERT_TRUE(WaitUntil([&] { return Lines(flares).size() == 1 && Lines(logs).size() == 1; }));
  EXPECT_EQ(Lines(logs)[0], "second");
  EXPECT_EQ(Lines(logs + ".1")[0], "first");

  // Records queued when the stop comes are still written.
  syslog.Signal(SIGSTOP);
  SendDatagram(logSock, "<14>Dec  5 10:00:02 x[1]: third\n");
  SendDatagram(logSock, "<14>Dec  5 10:00:03 x[1]: last\n");
  hubd.Signal(SIGTERM);
  syslog.Signal(SIGTERM);
  syslog.Signal(SIGCONT);
  EXPECT_EQ(ExitCode(hubd.Wait()), 0);
  EXPECT_EQ(ExitCode(syslog.Wait()), 0);
  EXPECT_EQ(Lines(logs), (std::vector<std::string>{"second", "third", "last"}));
  EXPECT_EQ(hubd.Stderr(), "hubd: 0 flares, 2 records that did not decode\n");
  EXPECT_EQ(syslog.Stderr(), "wisp-syslog: 4 records\n");
}

// A process stopped by SIGSTOP: its state in /proc is "T".
bool Frozen(pid_t pid) {
  std::string stat = Slurp("/proc/" + std::to_string(pid) + "/stat");
  size_t end = stat.rfind(')');
  return end != std::string::npos && stat.size() > end + 2 && stat[end + 2] == 'T';
}

// Connects without waiting for the listener to accept, sends bytes and
// closes; false when the connect or the write failed (a full backlog
// refuses at once).
bool SendToBacklog(const std::string &path, const std::string &bytes) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
  bool ok = fd >= 0 && connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) == 0 &&
            write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  if (fd >= 0) close(fd);
  return ok;
}

// hubd on a root of its own, stopped (SIGSTOP) once its socket is there.
struct FrozenHubd {
  Root root;
  std::string flares = root.Under("/flares.jsonl");
  std::string sock = root.Under("/var/run/pelldan/hubd-flare.sock");
  std::unique_ptr<Process> hubd =
      std::make_unique<Process>(Bin("hubd"), std::vector<std::string>{"--out", flares});
  bool Frozen() {
    struct stat st;
    if (!WaitUntil([&] { return stat(sock.c_str(), &st) == 0; })) return false;
    hubd->Signal(SIGSTOP);
    return WaitUntil([&] { return ::Frozen(hubd->Pid()); });
  }
};

// While hubd is busy (here: frozen) a burst of connections waits in its
// backlog, and each is written once it reads again.
TEST(Tools, HubdHoldsABurstOfFiveHundredConnectionsWhileBusy) {
  // The kernel caps every backlog at somaxconn.
  int cap = atoi(Slurp("/proc/sys/net/core/somaxconn").c_str());
  if (cap < 500) GTEST_SKIP() << "net.core.somaxconn is " << cap << ", below a burst of 500";
  FrozenHubd frozen;
  ASSERT_TRUE(frozen.Frozen());
  Process &hubd = *frozen.hubd;
  const std::string &flares = frozen.flares, &sock = frozen.sock;
  int refused = 0;
  for (int i = 0; i < 500; ++i)
    if (!SendToBacklog(sock, "burst " + std::to_string(i))) ++refused;
  hubd.Signal(SIGCONT);
  EXPECT_EQ(refused, 0);
  EXPECT_TRUE(WaitUntil([&] { return Lines(flares).size() == 500 - static_cast<size_t>(refused); }))
      << Lines(flares).size();
  hubd.Signal(SIGTERM);
  EXPECT_EQ(ExitCode(hubd.Wait()), 0);
  EXPECT_EQ(hubd.Stderr(), "hubd: 0 flares, 500 records that did not decode\n");
}

// Connections still in the backlog when the stop comes were made, and
// their senders count them delivered: the stop writes each.
TEST(Tools, HubdStoppedWithConnectionsInItsBacklogWritesEach) {
  FrozenHubd frozen;
  ASSERT_TRUE(frozen.Frozen());
  Process &hubd = *frozen.hubd;
  const std::string &flares = frozen.flares, &sock = frozen.sock;
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(SendToBacklog(sock, "pending " + std::to_string(i)));
  hubd.Signal(SIGTERM);
  hubd.Signal(SIGCONT);
  EXPECT_EQ(ExitCode(hubd.Wait()), 0);
  EXPECT_EQ(Lines(flares).size(), 20u);
  EXPECT_EQ(hubd.Stderr(), "hubd: 0 flares, 20 records that did not decode\n");
}

TEST(Tools, RootInitCreatesARootAndPrintsTheExportLine) {
  Root scratch;
  std::string dir = scratch.Under("/new/host");
  Result r = Tool("wisp-root", {"init", dir});
  EXPECT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(r.out, "export WISPD_ROOT=" + dir + "\n");
  struct stat st;
  for (const char *sub : {"/var/run/pelldan", "/dev", "/etc/pelldan", "/var/log/pelldan",
                          "/var/lib/pelldan", "/cairn/volumes"})
    EXPECT_EQ(stat((dir + sub).c_str(), &st), 0) << sub;
  EXPECT_EQ(Tool("wisp-root", {"make", dir}).code, 2);
}

}  // namespace
