// The real wispd: options, signals, start-up failures, sources and bad input.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "pellibs/wisp.h"
#include "records.h"
#include "sandbox.h"
#include "simhost/sockets.h"

using namespace testing_support;

namespace {

bool Exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

TEST(Daemon, PrintsUsageForEveryOptionButEnablewisps) {
  Root root;
  const std::string usage = "Usage: " + Bin("wispd") +
                            " [options]\nvalid options are:\n\t--help|-h - display this help\n";
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"-t"}, {"-l", "3"}, {"-h"}, {"--bogus"}, {"--test"}, {"--loglevel=2"}, {"-e", "-x"}}) {
    Process p(Bin("wispd"), args);
    int status = p.Wait();
    ASSERT_TRUE(WIFEXITED(status)) << args[0];
    EXPECT_EQ(WEXITSTATUS(status), 0) << args[0];
    EXPECT_EQ(p.Stdout(), usage) << args[0];
  }
  EXPECT_FALSE(Exists(root.Under("/var/run/pelldan/wisp-user.sock")));
}

TEST(Daemon, StopsOnTermAndIntButNotOnPipe) {
  for (int sig : {SIGTERM, SIGINT}) {
    Host host("", {}, false);
    host.wispd->Signal(SIGPIPE);
    usleep(100000);
    ASSERT_TRUE(host.wispd->Running());
    host.ExpectStops(5000ms, sig);
  }
}

TEST(Daemon, EnablewispsSetsTheOptionOrEndsWithTheHostsError) {
  {
    Host host("", {"--enablewisps"}, false);
    std::vector<std::string> actions =
        Lines(host.root.Under("/var/log/pelldan/simhost-actions.jsonl"));
    ASSERT_EQ(actions.size(), 1u);
    EXPECT_NE(actions[0].find(R"("group":"Misc","name":"WispAsyncEnable","value":1)"),
              std::string::npos);
  }
  Root root;
  LogCapture log(root);
  root.WriteFile("/etc/pelldan/simhost.json",
                 R"({"fail": {"Sysi_Set:config_intOpts": 195887108}})");  // busy
  Process p(Bin("wispd"), {"-e"});
  int status = p.Wait();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), EBUSY);
  EXPECT_TRUE(log.WaitFor("Exiting. rc:16\n"));
  EXPECT_FALSE(Exists(root.Under("/var/run/pelldan/mantle/context-0")));
}

// The root's contexts belong to one process until it has closed the last of
// them: another daemon is refused while one is still open.
TEST(Daemon, ContextsAreOneProcessesUntilItsLastCloses) {
  Root root;
  LogCapture log(root);
  WispLibHandle *first = nullptr, *second = nullptr;
  ASSERT_EQ(WispLib_AsyncContextOpen(0, &first), 0);
  ASSERT_EQ(WispLib_AsyncContextOpen(1, &second), 0);
  EXPECT_EQ(WispLib_Close(first), 0);
  Process refused(Bin("wispd"), {});
  EXPECT_EQ(ExitCode(refused.Wait()), EBUSY);
  EXPECT_EQ(WispLib_Close(second), 0);
  Process taken(Bin("wispd"), {});
  EXPECT_TRUE(log.WaitFor("wispd setup completed. Start polling loop.\n"));
  taken.Signal(SIGTERM);
  EXPECT_EQ(ExitCode(taken.Wait()), 0);
}

TEST(Daemon, AContextThatCannotBeOpenedLeavesOnlyTheDaemonsLineInSyslog) {
  Root root;
  LogCapture log(root);
  root.WriteFile("/var/run/pelldan/mantle", "");  // a file where the contexts' directory goes
  Process p(Bin("wispd"), {});
  int status = p.Wait();
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), ENOTDIR);
  ASSERT_TRUE(log.WaitFor("Exiting. rc:20\n"));
  EXPECT_EQ(log.Messages().size(), 1u) << testing::PrintToString(log.Messages());
  EXPECT_NE(p.Stderr().find("Cannot create " + root.Under("/var/run/pelldan/mantle")),
            std::string::npos)
      << p.Stderr();
}

TEST(Daemon, PanicsWhenTheKernelSignatureDiffers) {
  Root root;
  LogCapture log(root);
  root.WriteFile("/etc/pelldan/simhost.json",
                 R"({"kernel": {"build_date": "2025-01-01 00:00:00"}})");
  Process p(Bin("wispd"), {});
  int status = p.Wait();
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGABRT);
  EXPECT_NE(p.Stderr().find("Wispd - Panic: md5 signature mismatch with running mantle built on "
                            "2025-01-01 00:00:00 (my build date: 2026-11-30 08:00:00)\n"),
            std::string::npos);
  EXPECT_TRUE(log.WaitFor("md5 signature mismatch with running mantle"));
  EXPECT_EQ(log.Count("Wispd - Panic: "), 1u);
}

TEST(Daemon, AcceptsEightProducersAndClosesTheNinth) {
  Host host;
  std::vector<int> fds;
  for (int i = 0; i < 9; ++i) {
    int fd =
        simhost::ConnectUnix(SOCK_SEQPACKET, host.root.Under("/var/run/pelldan/wisp-user.sock"));
    ASSERT_GE(fd, 0);
    fds.push_back(fd);
  }
  char byte;
  struct timeval timeout = {5, 0};
  setsockopt(fds[8], SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  EXPECT_EQ(recv(fds[8], &byte, 1, 0), 0);  // closed by the daemon
  for (int i = 0; i < 8; ++i) {
    std::string rec = Record("wisp.storage.apd.start", {Str("naa.p" + std::to_string(i))});
    ASSERT_EQ(send(fds[i], rec.data(), rec.size(), MSG_NOSIGNAL), static_cast<ssize_t>(rec.size()));
  }
  EXPECT_TRUE(host.WaitForFlares(8));
  std::string s = Snapshot(host.root);
  EXPECT_EQ(Sample(s, "wispd_producers_refused_total"), 1);
  EXPECT_TRUE(host.log.WaitFor("Refusing user-level producers: all 8 connections are taken.\n"));
  for (int fd : fds) close(fd);
  ASSERT_TRUE(
      WaitUntil([&] { return Sample(Snapshot(host.root), "wispd_producers_connected") == 0; }));
  host.ExpectServing("naa.sentinel", {"--ctx", "user"});  // the slots were freed
  EXPECT_TRUE(host.log.WaitFor("Accepting user-level producers again (1 refused meanwhile).\n"));
}

// A message longer than any batch can never be read: dropped by the
// library, counted and said once; the producer's next batch is read.
TEST(Daemon, AUserLevelMessageThatCannotBeReadIsCountedAndSaid) {
  Host host;
  int fd = simhost::ConnectUnix(SOCK_SEQPACKET, host.root.Under("/var/run/pelldan/wisp-user.sock"));
  ASSERT_GE(fd, 0);
  int size = 1 << 20;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  std::string huge(200000, 'x');
  ASSERT_EQ(send(fd, huge.data(), huge.size(), MSG_NOSIGNAL), static_cast<ssize_t>(huge.size()));
  std::string rec = Record("wisp.storage.apd.start", {Str("naa.after")});
  ASSERT_EQ(send(fd, rec.data(), rec.size(), MSG_NOSIGNAL), static_cast<ssize_t>(rec.size()));
  EXPECT_TRUE(host.WaitForFlares(1));
  EXPECT_TRUE(
      host.log.WaitFor("A user-level message could not be read: Message too long; it is "
                       "dropped.\n"));
  EXPECT_TRUE(host.log.WaitFor("User-level messages are read again (1 could not be).\n"));
  EXPECT_EQ(Sample(Snapshot(host.root), "wispd_batches_unreadable_total"), 1);
  close(fd);
}

TEST(Daemon, ResetsAContextWhoseBatchIsTooLargeAndGrowsItsBuffer) {
  Host host;
  const std::string context = host.root.Under("/var/run/pelldan/mantle/context-5");
  EXPECT_TRUE(SendDatagram(context, std::string(140000, 'x')));
  std::string big;
  while (big.size() < 120000)
    big += Record("wisp.storage.apd.filler", {Str(std::string(900, 'f'))});
  big += Record("wisp.storage.apd.start", {Str("naa.big")});
  EXPECT_TRUE(SendDatagram(context, big));
  ASSERT_TRUE(host.WaitForFlares(1));
  EXPECT_NE(host.Flares()[0].find("naa.big"), std::string::npos);
  EXPECT_TRUE(host.wispd->Running());
}

}  // namespace
