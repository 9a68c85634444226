// A host the page-retirement correlator cannot start on stops the daemon;
// the flares of these correlators are checked by examples/scenarios.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>

#include "sandbox.h"

using namespace testing_support;

namespace {

TEST(HostEndToEnd, AHostWithoutTheSelectionThresholdStopsTheDaemon) {
  Root root;
  LogCapture log{root};
  root.WriteFile("/etc/pelldan/simhost.json",
                 R"({"fail": {"Sysi_Get:system_pageRetire_threshold": true}})");
  Process daemon(Bin("wispd"), {});
  int ws = daemon.Wait(10000ms);
  ASSERT_NE(ws, -1);
  EXPECT_TRUE(WIFSIGNALED(ws));
  EXPECT_NE(
      daemon.Stderr().find("Wispd - Panic: NOT_REACHED apps/wispd/wispdPageRetireCorrelator:179\n"),
      std::string::npos)
      << daemon.Stderr();
}

}  // namespace
