// wispd-selftest against wisp-testworld: a clean run, one broken observation
// and a producer that stops early.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include "sandbox.h"

using namespace testing_support;

namespace {

struct Outcome {
  int status = -1;  // the daemon's exit status, -1 when it did not exit
  std::string out;
};

// The self-test against a producer: wisp-testworld with worldArgs, or
// wisp-emit with the given lines.
Outcome RunPair(const std::vector<std::string> &worldArgs, const std::string &emitLines = "") {
  Root root;
  LogCapture log{root};
  Process daemon(Bin("wispd-selftest"), {});
  std::string err;
  if (emitLines.empty())
    EXPECT_EQ(Run(Bin("wisp-testworld"), worldArgs, "", &err), 0) << err;
  else
    EXPECT_EQ(Run(Bin("wisp-emit"), {"--wait", "10"}, emitLines, &err), 0) << err;
  Outcome o;
  int ws = daemon.Wait(15000ms);
  if (ws != -1 && WIFEXITED(ws)) o.status = WEXITSTATUS(ws);
  o.out = daemon.Stdout();
  return o;
}

size_t Count(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(SelfTest, AFullRunPassesEveryObservationAndExitsZero) {
  Outcome o = RunPair({});
  EXPECT_EQ(o.status, 0) << o.out;
  EXPECT_EQ(Count(o.out, "PASS: ["), 21u) << o.out;
  EXPECT_NE(o.out.find("PASS: [15]: wisp.tests.corrupt.format.tag.nestedInval\n"),
            std::string::npos);
  EXPECT_NE(o.out.find("PASS: Wisp_GetArgs (with field width specifiers) succeeded for WISP "
                       "wisp.tests.async.withIntParams. Args: -559038737, deadbeef, "
                       "-2401053088876216593\n"),
            std::string::npos);
  EXPECT_NE(o.out.find("INFO: Start corrupt WISPs window.\nINFO: Got wisp: "
                       "wisp.tests.marker.corruptions.end\n"),
            std::string::npos)
      << "a corrupt record reached the self-test";
  EXPECT_NE(o.out.find("INFO: Tests completed. Failures = 0\n"), std::string::npos);
  EXPECT_EQ(o.out.find("FAIL"), std::string::npos) << o.out;
}

TEST(SelfTest, OneBrokenObservationIsOneFailure) {
  Outcome o = RunPair({"--break", "6"});
  EXPECT_EQ(o.status, 1) << o.out;
  EXPECT_NE(o.out.find("FAIL: Expected msg = 'this is an observation with a string parameter: "
                       "some string'; Got 'this is an observation with a string parameter: some "
                       "string (broken)'\n"),
            std::string::npos)
      << o.out;
  EXPECT_NE(o.out.find("INFO: Tests completed. Failures = 1\n"), std::string::npos);
}

TEST(SelfTest, AProducerThatStopsEarlyEndsInTheTimeOut) {
  Outcome o = RunPair({"--stop-after", "3"});
  EXPECT_EQ(o.status, 1) << o.out;
  EXPECT_NE(o.out.find("PASS: [2]: wisp.tests.async.withLog\n"
                       "FAIL: Timeout.  Waited 5 seconds, but got no wisps.\n"),
            std::string::npos)
      << o.out;
}

TEST(SelfTest, FailuresBeyondWhatAStatusHoldsStillEndInAFailure) {
  auto line = [](const char *id) {
    std::string text = R"({"id": ")";
    return text.append(id).append("\"}\n");
  };
  std::string lines = line("wisp.tests.marker.start") + line("wisp.tests.marker.corruptions.start");
  for (int i = 0; i < 255; ++i) lines += line("wisp.tests.async.noData");
  lines += line("wisp.tests.marker.corruptions.end") + line("wisp.tests.marker.end");
  Outcome o = RunPair({}, lines);  // 255 in the window, one for the short count
  EXPECT_NE(o.out.find("INFO: Tests completed. Failures = 256\n"), std::string::npos) << o.out;
  EXPECT_EQ(o.status, 255);
}

}  // namespace
