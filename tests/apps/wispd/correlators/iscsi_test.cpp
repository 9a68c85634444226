// The iSCSI and virtual-SCSI correlators: login error texts, absorbed
// observations, and limits that post even when their values cannot be read.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "correlator_kit.h"

using namespace testing_support;

extern const CorrelatorDef kIscsiCorrelator;
extern const CorrelatorDef kVscsiCorrelator;

namespace {

typedef std::vector<std::string> Texts;

TEST(Iscsi, LoginErrorIsFourLowerCaseHexDigits) {
  CorrelatorKit kit(kIscsiCorrelator);
  kit.Send("wisp.iscsi.target.login.error", {Str("hba1"), Str("iqn.2026-01.host:t0"), U32(0x1f5)});
  kit.Send("wisp.iscsi.discovery.login.error", {Str("hba1"), Str("10.0.0.9:3260"), U32(0)});
  // A wider code keeps its first four digits.
  kit.Send("wisp.iscsi.target.login.error", {Str("hba1"), Str("t1"), U32(0xABCDE)});
  EXPECT_EQ(kit.Texts(),
            (Texts{"[tarn.problem.storage.iscsi.target.login.error] Login to iSCSI target "
                   "iqn.2026-01.host:t0 on hba1 failed. Target returned login error of: 01f5.",
                   "[tarn.problem.storage.iscsi.discovery.login.error] iSCSI discovery to "
                   "10.0.0.9:3260 on hba1 failed. The Discovery target returned a login error of: "
                   "0000.",
                   "[tarn.problem.storage.iscsi.target.login.error] Login to iSCSI target t1 on "
                   "hba1 failed. Target returned login error of: abcd."}));
}

TEST(Iscsi, ConnectionSessionAndAsyncObservationsAreAbsorbed) {
  CorrelatorKit kit(kIscsiCorrelator);
  for (const char *id : {"wisp.iscsi.connection.started", "wisp.iscsi.connection.stopped",
                         "wisp.iscsi.connection.error", "wisp.iscsi.session.recovery.timeout",
                         "wisp.iscsi.target.async.event"}) {
    kit.Send(id, {Str("hba1"), Str("t0")});
    EXPECT_TRUE(kit.Flares().empty()) << id;
    // Only the framework's record of the observation itself.
    std::vector<std::string> logs = kit.Logs();
    ASSERT_EQ(logs.size(), 1u) << id;
    EXPECT_NE(logs[0].find(id), std::string::npos);
  }
  // A failed read drops the observation without a trace.
  kit.Send("wisp.iscsi.isns.discovery.error", {Str("hba1"), Str("isns0"), Str("x")});
  EXPECT_TRUE(kit.Flares().empty());
  EXPECT_EQ(kit.Logs().size(), 1u);
}

TEST(Vscsi, PowerOnWithOneNamePostsAndLogsTheOtherOnce) {
  CorrelatorKit kit(kVscsiCorrelator);
  kit.Send("wisp.vscsi.shared.vdisk.virtual.machine.power.on.failed", {Str("vm-a")});
  std::vector<PostedFlare> got = kit.Flares();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].args.dump(), R"([{"s":"vm-a"},{"s":null}])");
  std::vector<std::string> logs = kit.Logs();
  ASSERT_GE(logs.size(), 2u);
  EXPECT_EQ(logs[1].rfind("Failed to get VM-2 name: ", 0), 0u);
  for (const std::string &line : logs) EXPECT_EQ(line.find("VM-1"), std::string::npos);

  kit.Send("wisp.vscsi.shared.vdisk.virtual.machine.power.on.failed", {I32(1), Str("vm-b")});
  got = kit.Flares();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].args.dump(), R"([{"s":null},{"s":"vm-b"}])");
  logs = kit.Logs();
  ASSERT_GE(logs.size(), 2u);
  EXPECT_EQ(logs[1].rfind("Failed to get VM-1 name: ", 0), 0u);

  kit.Send("wisp.vscsi.shared.vdisk.virtual.machine.power.on.failed", {Str("vm-a"), Str("vm-b")});
  EXPECT_EQ(kit.Texts(),
            Texts{"[tarn.problem.vscsi.shared.vdisk.virtual.machine.power.on.failed] Two or more "
                  "VMs (vm-a and vm-b) sharing same virtual disk are not allowed to be Powered-On "
                  "on same host."});
}

}  // namespace
