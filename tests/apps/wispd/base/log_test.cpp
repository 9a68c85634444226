#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include "base/wispdLog.h"
#include "fake_clock.h"
#include "sandbox.h"

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

}  // namespace
