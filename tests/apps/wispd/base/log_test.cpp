#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "base/wispdLog.h"
#include "fake_clock.h"
#include "pelldan/syslog.h"
#include "pellibs/zthread.h"
#include "sandbox.h"
#include "simhost/sockets.h"

using namespace testing_support;

namespace {

TEST(Log, PrefixIsLocalTimeWithMillisecondsAndZ) {
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  struct tm local = {};
  local.tm_year = 2026 - 1900;
  local.tm_mon = 11;
  local.tm_mday = 4;
  local.tm_hour = 12;
  local.tm_min = 40;
  local.tm_sec = 10;
  local.tm_isdst = -1;
  struct timeval tv = {mktime(&local), 123999};
  char buf[32];
  EXPECT_EQ(Log_Prefix(&tv, buf), 26u);
  EXPECT_STREQ(buf, "2026-12-04T12:40:10.123Z: ");
  unsetenv("TZ");
  tzset();
}

// Stamped with the daemon's clock, to the millisecond it reads.
TEST(Log, FormatsTheCallersArgumentsOnceAfterThePrefix) {
  Root root;
  LogCapture log(root);
  setenv("TZ", "UTC", 1);
  tzset();
  FakeClock clock(1796428800);  // 2026-12-05 00:00:00 UTC
  clock.Advance(42.987654);
  Log("%s has %d%%\n", "disk", 50);
  ASSERT_TRUE(log.WaitFor("disk has 50%\n"));
  EXPECT_EQ(log.Messages().back(), "2026-12-05T00:00:42.987Z: disk has 50%\n");
  unsetenv("TZ");
  tzset();
}

// Messages with the time prefix cut off, in the order they came.
std::vector<std::string> Bodies(LogCapture &log) {
  std::vector<std::string> out;
  for (const std::string &m : log.Messages()) out.push_back(m.substr(m.find(": ") + 2));
  return out;
}

// The observation and flare lines as printf would give them: a per cent
// sign in a message is text, a missing message is empty, and a line longer
// than the usual ones, held or not, comes whole.
TEST(Log, FlareLinesCarryTheThreadTimestampIdAndMessage) {
  Root root;
  LogCapture log(root);
  std::string longText(3000, 'm');
  std::thread([&] {
    ZThreadBase_SetName("shapeCorrelator");
    LogFlare("tarn.problem.disk", "pnic0 at 50% (%s %d)", 1733400000000000u);
    LogFlare("tarn.audit.same", "", 1733400000000042u);  // the same second
    LogFlare("tarn.audit.next", "", 1733400001999999u);
    LogFlare("tarn.audit.back", "", 1733399999000100u);
    LogFlare("tarn.audit.one", "", 1000000u);
    LogFlare("tarn.audit.under", "", 999999u);
    LogFlare("tarn.clear.disk", nullptr, 18446744073709551615u);
    LogFlare("tarn.audit.long", longText.c_str(), 7);
    Log_Hold();
    LogFlare("tarn.audit.held", longText.c_str(), 8);
    LogFlare("tarn.audit.held", std::string(20000, 'h').c_str(), 9);  // too long to hold
    Log_Release();
  }).join();
  ASSERT_TRUE(log.WaitForCount("[shapeCorrelator] ", 10));
  EXPECT_EQ(Bodies(log),
            (std::vector<std::string>{
                "[shapeCorrelator] 1733400000000000us: [tarn.problem.disk] pnic0 at 50% (%s %d)\n",
                "[shapeCorrelator] 1733400000000042us: [tarn.audit.same] \n",
                "[shapeCorrelator] 1733400001999999us: [tarn.audit.next] \n",
                "[shapeCorrelator] 1733399999000100us: [tarn.audit.back] \n",
                "[shapeCorrelator] 1000000us: [tarn.audit.one] \n",
                "[shapeCorrelator] 999999us: [tarn.audit.under] \n",
                "[shapeCorrelator] 18446744073709551615us: [tarn.clear.disk] \n",
                "[shapeCorrelator] 7us: [tarn.audit.long] " + longText + "\n",
                "[shapeCorrelator] 8us: [tarn.audit.held] " + longText + "\n",
                "[shapeCorrelator] 9us: [tarn.audit.held] " + std::string(20000, 'h') + "\n"}));
}

// Records of different priorities within one second each carry their own
// in the head, and a text given whole ends at its length.
TEST(Log, EachRecordsHeadCarriesItsOwnPriority) {
  Root root;
  int fd = simhost::BindUnix(SOCK_DGRAM, root.Under("/dev/log"), 0);
  ASSERT_GE(fd, 0);
  struct timeval limit = {10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  Syslog_Write(LOG_INFO, "info one and more", 8);
  Syslog_Write(LOG_DAEMON | LOG_ERR, "error two", 9);
  Syslog_Write(LOG_INFO, "info three", 10);
  std::vector<std::string> got;
  char buf[512];
  for (ssize_t n; got.size() < 3 && (n = recv(fd, buf, sizeof buf, 0)) > 0;)
    got.emplace_back(buf, static_cast<size_t>(n));
  close(fd);
  ASSERT_EQ(got.size(), 3u);
  const std::pair<const char *, const char *> want[] = {
      {"<14>", "]: info one"}, {"<27>", "]: error two"}, {"<14>", "]: info three"}};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(got[i].substr(0, 4), want[i].first) << got[i];
    EXPECT_EQ(got[i].substr(got[i].find("]: ")), want[i].second) << got[i];
  }
}

// A held record is not sent when it is written: a record another thread
// writes afterwards arrives first. At the release the held ones follow,
// in the order they were written.
TEST(LogHold, HeldRecordsGoOutTogetherInOrderAtTheRelease) {
  Root root;
  LogCapture log(root);
  Log_Hold();
  Log("held %d\n", 1);
  Log("held %d\n", 2);
  Log("held %s\n", "three");
  std::thread([] { Log("from another thread\n"); }).join();
  ASSERT_TRUE(log.WaitFor("from another thread\n"));
  EXPECT_EQ(log.Count("held "), 0u);
  Log_Release();
  ASSERT_TRUE(log.WaitFor("held three\n"));
  EXPECT_EQ(Bodies(log), (std::vector<std::string>{"from another thread\n", "held 1\n", "held 2\n",
                                                   "held three\n"}));
  Log("after the release\n");  // not held any more
  EXPECT_TRUE(log.WaitFor("after the release\n"));
}

// Thirty-two held records fill one send; a record too long to hold goes
// out at once, after those held before it; a thread that ends holding
// records sends them as it ends.
TEST(LogHold, AFullHoldALongRecordAndAnEndingThreadSendWithoutARelease) {
  Root root;
  LogCapture log(root);
  Log_Hold();
  for (int i = 0; i < 32; ++i) Log("record %d\n", i);
  EXPECT_TRUE(log.WaitForCount("record ", 32));
  Log("before the long one\n");
  Log("%s\n", std::string(20000, 'L').c_str());
  ASSERT_TRUE(log.WaitFor(std::string(20000, 'L')));
  std::vector<std::string> bodies = Bodies(log);
  ASSERT_EQ(bodies.size(), 34u);
  EXPECT_EQ(bodies[31], "record 31\n");
  EXPECT_EQ(bodies[32], "before the long one\n");
  Log_Release();
  std::thread([] {
    Log_Hold();
    Log("held as the thread ends\n");
  }).join();
  EXPECT_TRUE(log.WaitFor("held as the thread ends\n"));
}

// With no collector, held records are asked for once and counted as
// dropped, one by one.
TEST(LogHold, HeldRecordsNobodyTakesAreCounted) {
  Root root;
  uint64_t before = Syslog_DroppedRecords();
  Log_Hold();
  for (int i = 0; i < 3; ++i) Log("nobody reads %d\n", i);
  Log_Release();
  EXPECT_EQ(Syslog_DroppedRecords() - before, 3u);
}

// A thread that dies of a fault sends what it held, and the fault still
// ends the process.
TEST(LogHold, AThreadThatDiesOfAFaultSendsWhatItHeld) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizer owns the fault handlers";
#endif
  Root root;
  LogCapture log(root);
  pid_t child = fork();
  if (child == 0) {
    Log("the child starts\n");  // and finds this collector
    Log_InstallFatalSignals();
    Log_Hold();
    Log("held as the fault comes\n");
    raise(SIGSEGV);
    _exit(0);
  }
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGSEGV);
  EXPECT_TRUE(log.WaitFor("held as the fault comes\n"));
}

}  // namespace
