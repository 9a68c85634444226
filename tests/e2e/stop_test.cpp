// SIGTERM while the daemon is busy: every stop ends cleanly.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "sandbox.h"
#include "simhost/sockets.h"
#include "stop_trial.h"

using namespace testing_support;

// A sanitizer finds what a stop does wrong in any trial; its trees run a
// third of them.
TEST(Stop, UnderLoadEndsWithStatusZeroEveryTime) {
  const int trials = std::string(WISPD_SANITIZED).empty() ? 30 : 10;
  StopTally t =
      StopUnderLoad(trials, 20261205, 300, [](const std::string &line) { ADD_FAILURE() << line; });
  EXPECT_EQ(t.trials, trials);
  EXPECT_EQ(t.clean, trials);
  EXPECT_EQ(t.aborts + t.hangs + t.other, 0);
}

// A collector that stopped taking records would also swallow the count of
// those lost: the stop says it on standard error.
TEST(Stop, RecordsAFrozenCollectorLostAreToldOnStandardError) {
  Root root;
  int collector = simhost::BindUnix(SOCK_DGRAM, root.Under("/dev/log"), 0);
  ASSERT_GE(collector, 0);
  Process hubd(Bin("hubd"), {"--out", root.Under("/hubd.jsonl")});
  Process daemon(Bin("wispd"), {});
  ASSERT_TRUE(WaitUntil([&] { return !Snapshot(root).empty(); }, 10000ms));
  std::string lines;
  for (int i = 0; i < 600; ++i) lines += ApdLine("naa.frozen" + std::to_string(i));
  ASSERT_EQ(ExitCode(testing_support::Run(Bin("wisp-emit"), {"--wait", "5"}, lines)), 0);
  ASSERT_TRUE(WaitUntil(
      [&] { return Sample(Snapshot(root), "wispd_log_records_dropped_total") > 0; }, 20000ms));
  daemon.Signal(SIGTERM);
  EXPECT_EQ(ExitCode(daemon.Wait(10000ms)), 0);
  EXPECT_NE(
      daemon.Stderr().find("log records were lost, the log collector did not take them (rc 0)"),
      std::string::npos)
      << daemon.Stderr();
  close(collector);
}
