// External-component, migration, root file system and VFAT correlators.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "correlator_kit.h"

using namespace testing_support;

extern const CorrelatorDef kGenericCorrelator;
extern const CorrelatorDef kMigrateCorrelator;
extern const CorrelatorDef kStowfsCorrelator;
extern const CorrelatorDef kVfatCorrelator;

namespace {

typedef std::vector<std::string> Texts;

TEST(External, ReportsNeedAllThreeTextsAndNameTheComponentTwice) {
  CorrelatorKit kit(kGenericCorrelator);
  kit.Send("wisp.external.warning", {Str("acme-agent"), NullStr(), Str("disk slow")});
  kit.Send("wisp.user.external.error", {Str("acme-agent"), Str("kb/1")});
  EXPECT_TRUE(kit.Flares().empty());
  kit.Send("wisp.user.external.warning", {Str("acme-agent"), Str("kb/1"), Str("disk slow")});
  EXPECT_EQ(kit.Texts(),
            Texts{"[tarn.problem.3rdParty.warning] A 3rd party component, acme-agent, running on "
                  "Tarn has reported a warning related to a problem. Please follow the knowledge "
                  "base link (kb/1) to see the steps to remedy the problem as reported by "
                  "acme-agent. The message reported is: disk slow."});
  // Other user-level observations are only logged here.
  kit.Logs();
  kit.Send("wisp.user.ssh.enabled");
  EXPECT_TRUE(kit.Flares().empty());
  std::vector<std::string> logs = kit.Logs();
  ASSERT_EQ(logs.size(), 1u);
  EXPECT_NE(logs[0].find("wisp.user.ssh.enabled"), std::string::npos) << logs[0];
}

TEST(Migrate, ListenerShutdownWithoutStatusSaysUnknown) {
  CorrelatorKit kit(kMigrateCorrelator);
  kit.Send("wisp.migrate.glide.server.pending.cnx.listen.socket.shutdown", {NullStr()});
  kit.Send("wisp.migrate.glide.server.pending.cnx.listen.socket.shutdown", {I32(3)});
  EXPECT_EQ(kit.Texts(),
            Texts{"[tarn.problem.migrate.glide.server.pending.cnx.listen.socket.shutdown] The "
                  "Tarn host's Glide network server encountered an error while monitoring "
                  "incoming network connections. Shutting down listener socket. Glides may no "
                  "longer be possible with this host until Glide is manually re-enabled. Failure "
                  "status: unknown"});
}

TEST(Stowfs, RepeatsWithinTheQuietPeriodRestartIt) {
  CorrelatorKit kit(kStowfsCorrelator);
  std::vector<size_t> posted;
  for (double wait : {0, 200, 200, 400}) {
    kit.Advance(wait);
    kit.Send("wisp.stowfs.ramdisk.full", {Str("/var/log/x.log"), Str("root")});
    // Another file is another condition, with its own period.
    if (posted.size() == 1) kit.Send("wisp.stowfs.ramdisk.full", {Str("/tmp/other"), Str("tmp")});
    posted.push_back(kit.Flares().size());
  }
  EXPECT_EQ(posted, (std::vector<size_t>{1, 1, 0, 1}));

  kit.Reset();
  kit.Send("wisp.stowfs.ramdisk.full", {Str("/var/log/x.log"), Str("root")});
  kit.Send("wisp.stowfs.ramdisk.inodetable.full",
           {Str("/var/run"), Str("a.pid"), Str("crond"), Str("root")});
  EXPECT_EQ(kit.Texts(),
            (Texts{"[tarn.problem.stowfs.ramdisk.full] The ramdisk 'root' is full.  As a result, "
                   "the file /var/log/x.log could not be written.",
                   "[tarn.problem.stowfs.ramdisk.inodetable.full] The file table of the ramdisk "
                   "'root' is full.  As a result, the file /var/run/a.pid could not be created by "
                   "the application 'crond'."}));
}

TEST(Stowfs, OtherObservationsAreOneLoggedFailure) {
  CorrelatorKit kit(kStowfsCorrelator);
  kit.Send("wisp.stowfs.tardisk.readonlyfile", {Str("x")});
  EXPECT_TRUE(kit.Flares().empty());
  kit.Logs();
  kit.Send("wisp.stowfs.mount.failed");
  kit.Advance(300);
  kit.Send("wisp.stowfs.other.failed");
  EXPECT_EQ(kit.Texts(), Texts{"[tarn.problem.stowfs.failure] An operation on the root "
                               "filesystem has failed."});
  size_t logged = 0;  // each observation, posted or not
  for (const std::string &line : kit.Logs())
    logged += line.find("[wisp.stowfs.") != std::string::npos;
  EXPECT_EQ(logged, 2u);
  kit.Advance(301);
  kit.Send("wisp.stowfs.mount.failed");
  EXPECT_EQ(kit.Flares().size(), 1u);
}

TEST(Vfat, TheScratchLinkTellsTheScratchVolume) {
  CorrelatorKit kit(kVfatCorrelator);
  ASSERT_EQ(symlink("/cairn/volumes/5f3a-11", kit.root.Under("/scratch").c_str()), 0);
  kit.Send("wisp.vfat.filesystem.full", {Str("bootbank"), Str("5f3a-11")});
  kit.Send("wisp.vfat.filesystem.full", {Str("locker"), Str("77aa-02")});
  kit.Send("wisp.vfat.filesystem.full", {Str("bootbank"), Str("5f3a-11")});
  EXPECT_EQ(kit.Texts(),
            (Texts{"[tarn.problem.vfat.filesystem.full.scratch] The host's scratch partition, "
                   "which is the VFAT filesystem bootbank (UUID 5f3a-11), is full.",
                   "[tarn.problem.vfat.filesystem.full.other] The VFAT filesystem locker (UUID "
                   "77aa-02) is full."}));
  // Without the link only a volume named like the link itself is scratch.
  unlink(kit.root.Under("/scratch").c_str());
  kit.Advance(301);
  kit.Send("wisp.vfat.filesystem.full", {Str("bootbank"), Str("5f3a-11")});
  kit.Send("wisp.vfat.filesystem.full", {Str("odd"), Str("scratch")});
  std::vector<PostedFlare> got = kit.Flares();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].id, "tarn.problem.vfat.filesystem.full.other");
  EXPECT_EQ(got[1].id, "tarn.problem.vfat.filesystem.full.scratch");
}

}  // namespace
