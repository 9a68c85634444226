// Storage observations (Cairn, iSCSI, virtual SCSI, Strata, HCM) from
// wisp-emit through the daemon to hubd.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "sandbox.h"
#include "wispjson.h"

using namespace testing_support;

namespace {

// hubd's lines as "[event id] message", in arrival order.
// Posts that follow one another on one correlator arrive in order; waits for
// count of them, then a little longer for any that should not be there.
std::vector<std::string> Received(const Host &host, size_t count) {
  EXPECT_TRUE(host.WaitForFlares(count));
  usleep(300000);
  return host.FlareTexts();
}

typedef std::vector<std::string> Lines;

TEST(StorageEndToEnd, CairnUuidAndArgumentOnlyFlares) {
  Host host;
  ASSERT_EQ(
      host.Emit(
          R"({"id": "wisp.cairn.heartbeat.timedout", "args": [{"u32": 3735928559}, {"u32": 1}, {"u32": 48879}, {"u32": 171}, {"u32": 0}, {"u32": 1}, {"u32": 2}, {"u32": 3}, {"u32": 255}, {"s": "hba1:C0:T0:L0"}]})"
          "\n"
          R"({"id": "wisp.cairn.nfs.volume.io.latency.high", "args": [{"s": "ds-main"}, {"u64": 6000000000}, {"u64": 20}]})"
          "\n"
          R"({"id": "wisp.cairn.nfs.volume.io.latency.high", "args": [{"s": "ds-main"}]})"
          "\n"
          R"({"id": "wisp.cairn.volume.mounted", "args": [{"s": "ds-main"}, {"s": "hba1:C0:T0:L0:1"}, {"s": "public"}]})"
          "\n"),
      0);
  EXPECT_EQ(Received(host, 3),
            (Lines{"[tarn.problem.cairn.heartbeat.timedout] deadbeef-00000001-beef-ab00010203ff "
                   "hba1:C0:T0:L0",
                   "[tarn.problem.cairn.nfs.volume.io.latency.high] ds-main 6000000000 20",
                   "[tarn.audit.cairn.volume.mounted] File system ds-main on volume "
                   "hba1:C0:T0:L0:1 has been mounted in 'public' mode. The datastore is now "
                   "accessible on this host."}));
  EXPECT_TRUE(host.log.WaitFor("Failed to correlate wisp.cairn.nfs.volume.io.latency.high: "));
}

TEST(StorageEndToEnd, IscsiLoginFailureAndAbsorbedObservations) {
  Host host;
  ASSERT_EQ(
      host.Emit(
          R"({"id": "wisp.iscsi.connection.started", "args": [{"s": "hba1"}]})"
          "\n"
          R"({"id": "wisp.iscsi.session.recovery.timeout", "args": [{"s": "hba1"}]})"
          "\n"
          R"({"id": "wisp.iscsi.target.login.error", "args": [{"s": "hba1"}, {"s": "iqn.2026-01.host:t0"}, {"u32": 501}]})"
          "\n"),
      0);
  EXPECT_EQ(Received(host, 1),
            Lines{"[tarn.problem.storage.iscsi.target.login.error] Login to iSCSI target "
                  "iqn.2026-01.host:t0 on hba1 failed. Target returned login error of: 01f5."});
}

TEST(StorageEndToEnd, VscsiLimitPostsEvenWithoutItsCount) {
  Host host;
  ASSERT_EQ(
      host.Emit(R"({"id": "wisp.vscsi.shared.vdisk.no.free.slot.available"})"
                "\n"
                R"({"id": "wisp.vscsi.shared.vdisk.add.failure.max.count", "args": [{"u32": 16}]})"
                "\n"),
      0);
  EXPECT_EQ(
      Received(host, 2),
      (Lines{"[tarn.problem.vscsi.shared.vdisk.no.free.slot.available] No Free slot "
             "available. Maximum number of VMs supported in MSCS cluster are 0",
             "[tarn.problem.vscsi.shared.vdisk.add.failure.max.count] Failed to add shared "
             "virtual disk. Maximum number of shared vdisks supported per Tarn host are 16"}));
  EXPECT_EQ(host.log.Count("Failed to get args: "), 1u);
}

TEST(StorageEndToEnd, HcmDiskEvents) {
  Host host;
  ASSERT_EQ(
      host.Emit(R"({"id": "wisp.hcm.event.disk.removal"})"
                "\n"
                R"({"id": "wisp.hcm.event.disk.predictive.failure", "args": [{"s": "disk3"}]})"
                "\n"),
      0);
  EXPECT_EQ(Received(host, 1), Lines{"[tarn.problem.hcm.event.disk.predictive.failure] A "
                                     "physical disk has a predictive failure (disk3)."});
}

TEST(StorageEndToEnd, StrataQueuedFlareReachesHubdOnTheRetry) {
  // Three minutes of daemon time in about three seconds.
  Host host("", {}, true,
            {"LD_PRELOAD=" WISPD_FAKETIME_LIB, "FAKETIME=+0 x60", "FAKETIME_NO_CACHE=1"});
  ASSERT_EQ(host.Emit(R"({"id": "wisp.strata.net.created", "args": [{"s": "mnic0"}]})"
                      "\n"
                      R"({"id": "wisp.strata.net.noip", "args": [{"s": "mnic0"}]})"
                      "\n"),
            0);
  ASSERT_TRUE(
      host.log.WaitFor("An event (tarn.problem.strata.net.not.ready) could not be sent "
                       "immediately to hubd; queueing for retry."));
  ASSERT_TRUE(host.WaitForFlares(1));
  EXPECT_EQ(host.FlareTexts(), Lines{"[tarn.audit.strata.net.vnic.added] Strata vnic added"});
  ASSERT_TRUE(host.log.WaitFor(
      "Successfully sent event (tarn.problem.strata.net.not.ready) after 1 failure.\n", 15000ms));
  EXPECT_EQ(Received(host, 2),
            (Lines{"[tarn.audit.strata.net.vnic.added] Strata vnic added",
                   "[tarn.problem.strata.net.not.ready] mantlenic mnic0 that is currently "
                   "configured to be used with Strata doesn't have an IP address yet. There are no "
                   "other active network configuration and therefore the Strata node doesn't have "
                   "network connectivity."}));
}

}  // namespace
