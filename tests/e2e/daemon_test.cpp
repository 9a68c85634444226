// The real wispd: options, signals, start-up failures, sources and bad input.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "records.h"
#include "sandbox.h"
#include "simhost/sockets.h"

using namespace testing_support;

namespace {

const char kApdStart[] = R"({"id": "wisp.storage.apd.start", "args": [{"s": "naa.sentinel"}]})";

bool Exists(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

void SendKernel(const Root &root, int ctx, const std::string &batch) {
  int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  struct sockaddr_un addr;
  simhost::MakeUnixAddress(root.Under("/var/run/pelldan/mantle/context-" + std::to_string(ctx)),
                           &addr);
  EXPECT_EQ(sendto(fd, batch.data(), batch.size(), 0, reinterpret_cast<struct sockaddr *>(&addr),
                   sizeof addr),
            static_cast<ssize_t>(batch.size()));
  close(fd);
}

// The daemon still serves: an all-paths-down start reaches hubd.
void ExpectServing(Host &host, const std::vector<std::string> &emitArgs = {}) {
  size_t before = host.Flares().size();
  ASSERT_EQ(host.Emit(kApdStart, emitArgs), 0);
  ASSERT_TRUE(host.WaitForFlares(before + 1));
  EXPECT_NE(host.Flares().back().find("naa.sentinel"), std::string::npos);
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
    host.wispd->Signal(sig);
    int status = host.wispd->Wait();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(host.log.WaitFor("Exiting due to signal.\n"));
    EXPECT_TRUE(host.log.WaitFor("Exiting. rc:0\n"));
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
    usleep(20000);
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
  for (int fd : fds) close(fd);
  usleep(100000);
  ExpectServing(host, {"--ctx", "user"});  // the slots were freed
}

TEST(Daemon, ResetsAContextWhoseBatchIsTooLargeAndGrowsItsBuffer) {
  Host host;
  SendKernel(host.root, 5, std::string(140000, 'x'));
  std::string big;
  while (big.size() < 120000)
    big += Record("wisp.storage.apd.filler", {Str(std::string(900, 'f'))});
  big += Record("wisp.storage.apd.start", {Str("naa.big")});
  SendKernel(host.root, 5, big);
  ASSERT_TRUE(host.WaitForFlares(1));
  EXPECT_NE(host.Flares()[0].find("naa.big"), std::string::npos);
  EXPECT_TRUE(host.wispd->Running());
}

TEST(Daemon, SurvivesGarbageTruncatedBatchesAndProducersLeavingMidBatch) {
  Host host;
  std::string rec = Record("wisp.storage.apd.start", {Str("naa.x")});
  ASSERT_EQ(
      host.Emit(R"({"raw": "00"})"
                "\n"
                R"({"raw": "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff"})"
                "\n" +
                std::string(R"({"raw": "0000", "ctx": "user"})")),
      0);
  SendKernel(host.root, 2, rec.substr(0, rec.size() - 3));
  int fd = simhost::ConnectUnix(SOCK_SEQPACKET, host.root.Under("/var/run/pelldan/wisp-user.sock"));
  ASSERT_EQ(send(fd, rec.data(), 40, 0), 40);
  std::string huge(140000, 'u');
  send(fd, huge.data(), huge.size(), MSG_NOSIGNAL);  // larger than any batch can be
  close(fd);
  EXPECT_TRUE(host.log.WaitFor("Dropping the rest of a batch"));
  ExpectServing(host);
  EXPECT_EQ(host.Flares().size(), 1u);
}

}  // namespace
