// The Cairn correlator's UUID texts and argument-only flares.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "correlator_kit.h"

using namespace testing_support;

extern const CorrelatorDef kCairnCorrelator;

namespace {

typedef std::vector<std::string> Texts;

// A volume UUID as the file system sends it: two 32-bit fields, a 16-bit
// field, six bytes.
std::vector<tools::Arg> Uuid(uint32_t a, uint32_t b, uint32_t c, std::vector<uint32_t> bytes) {
  std::vector<tools::Arg> out = {U32(a), U32(b), U32(c)};
  for (uint32_t byte : bytes) out.push_back(U32(byte));
  return out;
}

std::vector<tools::Arg> Join(std::vector<tools::Arg> a, const std::vector<tools::Arg> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

class Cairn : public ::testing::Test {
 protected:
  CorrelatorKit kit{kCairnCorrelator};
};

TEST_F(Cairn, UuidFieldsKeepTheirWidthsAndOrderInLowerCase) {
  kit.Send("wisp.cairn.ats.incompatibility.detected",
           Join({Str("ds-main")}, Uuid(1, 2, 3, {4, 5, 6, 7, 8, 9})));
  kit.Send(
      "wisp.cairn.spanstate.incompatibility.detected",
      Join({Str("ds-spare")}, Uuid(0xDEADBEEF, 0xA0, 0xBEEF, {0xAB, 0, 0xCD, 0x1, 0xEF, 0x10})));
  EXPECT_EQ(kit.Texts(),
            (Texts{"[tarn.problem.cairn.ats.incompatibility.detected] Multi-extent ATS-only volume "
                   "'ds-main' (00000001-00000002-0003-040506070809) is unable to use ATS "
                   "because HardwareAcceleratedLocking is disabled on this host: potential for "
                   "introducing filesystem corruption. Volume should not be used from other hosts.",
                   "[tarn.problem.cairn.spanstate.incompatibility.detected] Incompatible span "
                   "change detected for Cairn volume 'ds-spare' "
                   "(deadbeef-000000a0-beef-ab00cd01ef10): volume was not spanned at time of open "
                   "but now it is, and this host is using ATS-only lockmode but the volume is not "
                   "ATS-only. Volume descriptor refresh operations will fail until this host "
                   "unmounts and remounts the volume."}));
  // The 16-bit field and the bytes keep only their own width.
  kit.Send("wisp.cairn.heartbeat.timedout",
           Join(Uuid(0xFFFFFFFF, 0, 0x12345, {0x1FF, 0x100, 2, 3, 4, 0x7F}), {Str("hba1")}));
  EXPECT_EQ(kit.Texts(), Texts{"[tarn.problem.cairn.heartbeat.timedout] "
                               "ffffffff-00000000-2345-ff000203047f hba1"});
}

TEST_F(Cairn, ArgumentOnlyLatencyFlareKeepsItsSixtyFourBitValues) {
  kit.Send("wisp.cairn.nfs.volume.io.latency.high.exceed.threshold",
           {Str("datastore3"), U64(5000000000), U64(7), U64(30)});
  EXPECT_EQ(kit.Texts(), Texts{"[tarn.problem.cairn.nfs.volume.io.latency.high.exceed.threshold] "
                               "datastore3 5000000000 7 30"});
}

// The two families choose their event by the observation's id; a recovered
// heartbeat is a problem, a restored NFS server a clear.
TEST_F(Cairn, EachFamilyIdPostsItsOwnEvent) {
  std::vector<tools::Arg> uuid = Uuid(1, 2, 3, {4, 5, 6, 7, 8, 9});
  const char *family[] = {"heartbeat.timedout",     "heartbeat.recovered",
                          "journal.createfailed",   "heartbeat.unrecoverable",
                          "lock.corruptondisk.v2",  "resource.corruptondisk",
                          "heartbeat.corruptondisk"};
  for (const char *name : family) {
    kit.Send(std::string("wisp.cairn.") + name, Join(uuid, {Str("dev")}));
    kit.Send(std::string("wisp.cairn.") + name, uuid);  // without its string: nothing
    EXPECT_EQ(kit.Texts(), Texts{std::string("[tarn.problem.cairn.") + name +
                                 "] 00000001-00000002-0003-040506070809 dev"});
  }
  std::vector<tools::Arg> nfs = Join(Join({Str("nfs0"), Str("/export")}, uuid), {Str("ds")});
  kit.Send("wisp.cairn.nfs.server.disconnect", nfs);
  kit.Send("wisp.cairn.nfs.server.restored", nfs);
  kit.Send("wisp.cairn.nfs.server.restored", {Str("nfs0"), Str("/export")});
  EXPECT_EQ(kit.Texts(), (Texts{"[tarn.problem.cairn.nfs.server.disconnect] nfs0 /export "
                                "00000001-00000002-0003-040506070809 ds",
                                "[tarn.clear.cairn.nfs.server.restored] nfs0 /export "
                                "00000001-00000002-0003-040506070809 ds"}));
  for (const std::string &line : kit.Logs()) EXPECT_EQ(line.find("Failed"), std::string::npos);
}

TEST_F(Cairn, AMissingDeviceIsShownAsEmptyText) {
  kit.Send("wisp.cairn.extent.offline", {NullStr(), Str("ds-main")});
  EXPECT_EQ(kit.Texts(),
            Texts{"[tarn.problem.cairn.extent.offline] An attached device  may be offline. The "
                  "file system ds-main is now in a degraded state. While the datastore is "
                  "still available, parts of data that reside on the extent that went offline "
                  "might be inaccessible."});
}

TEST_F(Cairn, IdentifiedRowsLogAFailedReadWithTheIdOthersStaySilent) {
  kit.Send("wisp.cairn.nfs.volume.no.space", {I32(4)});
  kit.Send("wisp.cairn.quillet.bloomfilter.disabled", {Str("disk0")});
  kit.Send("wisp.cairn.heartbeat.timedout", {U32(1), U32(2)});
  kit.Send("wisp.cairn.unknown.report", {Str("x")});
  EXPECT_TRUE(kit.Flares().empty());
  std::vector<std::string> logs = kit.Logs();
  std::vector<std::string> failures;
  for (const std::string &line : logs)
    if (line.rfind("Failed", 0) == 0) failures.push_back(line);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].rfind("Failed to correlate wisp.cairn.nfs.volume.no.space: ", 0), 0u);
}

}  // namespace
