// The UserWorld correlator: policy changes, the non-installed file set and
// crash reports with their ten-hour hold-back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "correlator_kit.h"

using namespace testing_support;

extern const CorrelatorDef kUserWorldCorrelator;

namespace {

typedef std::vector<std::string> Texts;

class UserWorld : public ::testing::Test {
 protected:
  void Dumped(const std::string &name, const std::string &keyId = "") {
    std::vector<tools::Arg> args = {Str(name), I32(11), Str("/var/core/" + name + ".zdump")};
    if (!keyId.empty()) args.push_back(Str(keyId));
    kit.Send("wisp.uw.core.dumped", args);
  }
  void Hours(double h) { kit.Advance(h * 3600); }

  CorrelatorKit kit{kUserWorldCorrelator};
};

TEST_F(UserWorld, OnlyPolicyChangesAwayFromEnforcingAreReported) {
  kit.Send("wisp.uw.secpolicy.domain.level.changed",
           {Str("enforcing"), I32(1), Str("appDom"), U32(0)});
  kit.Send("wisp.uw.secpolicy.alldomains.level.changed", {Str("enforcing"), I32(1)});
  EXPECT_TRUE(kit.Flares().empty());
  kit.Send("wisp.uw.secpolicy.domain.level.changed",
           {Str("warning"), I32(2), Str("appDom"), U32(0)});
  kit.Send("wisp.uw.secpolicy.alldomains.level.changed", {Str("disabled"), I32(0)});
  EXPECT_EQ(kit.Texts(),
            (Texts{"[tarn.audit.uw.secpolicy.domain.level.changed] The enforcement level for "
                   "security domain appDom has been changed to warning. The enforcement level "
                   "must always be set to enforcing.",
                   "[tarn.audit.uw.secpolicy.alldomains.level.changed] The enforcement level for "
                   "all security domains has been changed to disabled. The enforcement level "
                   "must always be set to enforcing."}));
}

TEST_F(UserWorld, NineFilesAreNamedTheTenthSummedUpThenSilence) {
  kit.Send("wisp.uw.exec.installonly.warning", {Str("/tmp/f1")});
  kit.Send("wisp.uw.exec.installonly.violation", {Str("/tmp/f1")});  // the same file
  EXPECT_EQ(kit.Texts(), Texts{"[tarn.audit.uw.security.execInstalledOnly.warning] Execution of "
                               "non-installed file: /tmp/f1"});
  for (int i = 2; i <= 8; ++i)
    kit.Send("wisp.uw.exec.installonly.warning", {Str("/tmp/f" + std::to_string(i))});
  EXPECT_EQ(kit.Flares().size(), 7u);
  kit.Send("wisp.uw.exec.installonly.violation", {Str("/tmp/f9")});
  kit.Send("wisp.uw.exec.installonly.violation", {Str("/tmp/f10")});
  kit.Send("wisp.uw.exec.installonly.warning", {Str("/tmp/f11")});
  kit.Send("wisp.uw.exec.installonly.warning", {Str("/tmp/f1")});
  EXPECT_EQ(kit.Texts(), (Texts{"[tarn.audit.uw.security.execInstalledOnly.violation] Execution of "
                                "non-installed file prevented: /tmp/f9",
                                "[tarn.audit.uw.security.execInstalledOnly.violation] Execution of "
                                "non-installed file prevented: Multiple files"}));
}

TEST_F(UserWorld, CrashesAreReportedOncePerTenHoursWithTheirRunningCount) {
  Dumped("lognest");
  Hours(1);
  Dumped("lognest");
  kit.Send("wisp.uw.core.dumpFailed", {Str("lognest"), I32(0), Str("x")});  // its own table
  Hours(1);
  Dumped("lognest");
  Hours(8 - 1.0 / 3600);  // one second short of ten hours after the report
  Dumped("lognest");
  Hours(1.0 / 3600);  // exactly ten hours
  Dumped("lognest");
  EXPECT_EQ(kit.Texts(),
            (Texts{"[tarn.problem.application.core.dumped] An application (lognest) running on "
                   "Tarn host has crashed (1 time(s) so far). A core file may have been created "
                   "at /var/core/lognest.zdump.",
                   "[tarn.problem.application.core.dumpFailed] An application (lognest) running "
                   "on Tarn host has crashed (1 time(s) so far), but core dump creation failed.",
                   "[tarn.problem.application.core.dumped] An application (lognest) running on "
                   "Tarn host has crashed (5 time(s) so far). A core file may have been created "
                   "at /var/core/lognest.zdump."}));
}

TEST_F(UserWorld, AgentCrashesAreQueuedAndFamiliesFollowTheName) {
  Dumped("hubd-worker", "key7");
  Dumped("quayd");
  EXPECT_TRUE(kit.Flares().empty()) << "the agents' own crashes go to the retry queue first";
  Dumped("crond", "key9");
  EXPECT_EQ(kit.Texts(), Texts{"[tarn.problem.application.core.dumped.encrypted] An application "
                               "(crond) running on Tarn host has crashed (1 time(s) so far). An "
                               "encrypted core file using keyId key9 may have been created at "
                               "/var/core/crond.zdump."});
  Flare_RetryPass();
  EXPECT_EQ(kit.Texts(),
            (Texts{"[tarn.problem.hubd.core.dumped.encrypted] hubd-worker crashed (1 time(s) so "
                   "far) and an encrypted core file using keyId key7 may have been created at "
                   "/var/core/hubd-worker.zdump. This may have caused connections to the host to "
                   "be dropped.",
                   "[tarn.problem.quayd.core.dumped] quayd crashed (1 time(s) so far) and a core "
                   "file may have been created at /var/core/quayd.zdump. This may have caused "
                   "connections to the host to be dropped."}));
  // A key that is not a string stops the handler, and counts nothing.
  kit.Send("wisp.uw.core.dumped.encrypted", {Str("sshd"), I32(1), Str("/c"), I32(3)});
  Dumped("sshd");
  EXPECT_EQ(kit.Texts(), Texts{"[tarn.problem.application.core.dumped] An application (sshd) "
                               "running on Tarn host has crashed (1 time(s) so far). A core file "
                               "may have been created at /var/core/sshd.zdump."});
}

}  // namespace
