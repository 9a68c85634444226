// Storage lookups against the simulated host, and what the storage and
// Cairn correlators make of malformed observations and failed reads. Their
// flares are examples/scenarios (path-*, power-on-resets, swap-pdl,
// vm-kills, cairn-and-latency).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "correlator_kit.h"
#include "correlators/wispdStorageLookup.h"

using namespace testing_support;

extern const CorrelatorDef kSwapCorrelator;
extern const CorrelatorDef kVmCorrelator;
extern const CorrelatorDef kScsiCorrelator;
extern const CorrelatorDef kCairnCorrelator;

namespace {

const char kFileSystems[] = R"({"file_systems": [
    {"uuid": "broken"},
    {"volume": "ds-a", "uuid": "5f1a2b3c-01020304-beef-0102030405a6"},
    {"volume": "ds-b", "uuid": "6a7b8c9d-01020304-cafe-0102030405a6"}]})";

std::string Derive(const char *message) {
  char out[64];
  int rc = Storage_DeriveArgFormat(message, out, sizeof out);
  return rc == 0 ? out : "rc " + std::to_string(rc);
}

TEST(StorageLookup, ArgumentFormatsDerivedFromMessages) {
  EXPECT_EQ(Derive("name %5.2s, %lu s, %X"), "%p%lu%x");
  EXPECT_EQ(Derive("100%% of %-08d on %#lx, %hhu %hd %lld %Lu %i %o %c"),
            "%d%lx%hhu%hd%lld%Lu%i%o%c");
  EXPECT_EQ(Derive("plain text"), "");
  EXPECT_EQ(Derive("%f"), "rc 22");
  EXPECT_EQ(Derive("%s ends with %"), "rc 22");
  EXPECT_EQ(Derive("%+ d"), "rc 22");  // one flag only
  EXPECT_EQ(Derive("%zu"), "rc 22");
  char tiny[4];
  EXPECT_EQ(Storage_DeriveArgFormat("%s%s", tiny, sizeof tiny), 22);  // no room: no overrun
}

TEST(StorageLookup, ReadByMessageLeavesOutputsAloneOnAnUntranslatableFormat) {
  CorrelatorKit kit(kSwapCorrelator);
  Wisp *wisp = MakeWisp(Record("wisp.vm.x", {Str("web.cfg"), U32(7)}));
  ASSERT_NE(wisp, nullptr);
  const char *name = "untouched";
  unsigned count = 99;
  EXPECT_EQ(Storage_ReadMessageArgs(wisp, "%s took %f s", &name, &count), 22);
  EXPECT_STREQ(name, "untouched");
  EXPECT_EQ(Storage_ReadMessageArgs(wisp, "file %s: %u actions", &name, &count), 0);
  EXPECT_STREQ(name, "web.cfg");
  EXPECT_EQ(count, 7u);
  EXPECT_NE(Storage_ReadMessageArgs(wisp, "%s %u %u", &name, &count, &count), 0);
  Wisp_Free(wisp);
}

TEST(StorageLookup, VolumeNameOfAPath) {
  CorrelatorKit kit(kSwapCorrelator, kFileSystems);
  EXPECT_EQ(Storage_VolumeName("/cairn/volumes/ds-b/swap/sys.swp"), "ds-b");
  EXPECT_EQ(Storage_VolumeName("/cairn/volumes/5f1a2b3c-01020304-beef-0102030405a6"),
            "5f1a2b3c-01020304-beef-0102030405a6");
  EXPECT_EQ(Storage_VolumeName("/cairn/volumes/DS-B/x"), "(unknown)");
  EXPECT_EQ(Storage_VolumeName("/cairn/volumes/"), "(unknown)");
  EXPECT_EQ(Storage_VolumeName("/cairn/volume/ds-b"), "(invalid)");
  EXPECT_EQ(Storage_VolumeName(nullptr), "(invalid)");
}

TEST(StorageLookup, ARedundancyStateBeyondThreeIsABadModel) {
  CorrelatorKit kit(kSwapCorrelator, R"({"storage": {"luns": {"naa.1": {"redundancy": 2}},
      "paths": {"hba1:C0:T0:L0": {"device": "naa.1"}}}})");
  uint32_t state = 9;
  std::string device;
  EXPECT_TRUE(Storage_RedundancyState("naa.1", &state));
  EXPECT_EQ(state, 2u);
  EXPECT_TRUE(Storage_DeviceOfPath("hba1:C0:T0:L0", &device));
  EXPECT_EQ(device, "naa.1");
  EXPECT_FALSE(Storage_RedundancyState("naa.2", &state));
  EXPECT_FALSE(Storage_DeviceOfPath("hba1:C0:T1:L0", &device));
  testing::internal::CaptureStderr();
  for (const char *bad : {"4", "-1", "2.5", "4294967298"}) {
    kit.Model(std::string(R"({"storage": {"luns": {"naa.1": {"redundancy": )") + bad + "}}}}");
    EXPECT_TRUE(Storage_RedundancyState("naa.1", &state));
    EXPECT_EQ(state, 2u) << bad;  // the last good model stays
  }
  std::string said = testing::internal::GetCapturedStderr();
  size_t n = 0;
  for (size_t at = 0;
       (at = said.find("other than 0 to 3; keeping the last good model", at)) != std::string::npos;
       ++at)
    ++n;
  EXPECT_EQ(n, 4u);
}

// Absent strings, numbers for strings and strings for numbers, too few or
// none: every id of the storage correlators takes them without harm (the
// empty device even reaches the counting thresholds), and the correlator
// still serves the next observation.
TEST(StorageCorrelators, MalformedObservationsPostNothingBroken) {
  const std::vector<std::vector<tools::Arg>> shapes = {
      {},
      std::vector<tools::Arg>(9, NullStr()),
      std::vector<tools::Arg>(9, I32(-1)),
      std::vector<tools::Arg>(9, Str("")),
      {Str("hba1:C0:T0:L0"), NullStr()},
  };
  for (const CorrelatorDef *def : {&kScsiCorrelator, &kSwapCorrelator, &kVmCorrelator}) {
    CorrelatorKit kit(*def, R"({"storage": {"luns": {"": {"disk": true, "redundancy": 2,
        "partitions": [1], "datastores": {"1": ""}}}, "paths": {"": {"device": ""}}}})");
    for (int round = 0; round < 12; ++round)
      for (const auto &entry : kit.Table())
        for (const auto &args : shapes) kit.Send(entry.first, args);
    for (const PostedFlare &f : kit.Flares()) EXPECT_FALSE(f.message.empty()) << f.id;
  }
  CorrelatorKit kit(kScsiCorrelator);
  kit.Send("wisp.scsi.device.state.on", {Str("naa.1")});
  EXPECT_EQ(kit.Texts(), Texts{"[tarn.clear.scsi.device.state.on] Device: naa.1  has been turned "
                               "on administratively"});
}

// Each failed hand read logs its own line (in order) and posts nothing.
TEST(Scsi, EachHandReadArgumentLogsItsOwnLineAndPostsNothing) {
  CorrelatorKit kit(kScsiCorrelator);
  kit.Send("wisp.scsi.scsipath.badpath.unreachpe", {Str("hba1:C0:T0:L0")});
  kit.Send("wisp.scsi.scsipath.badpath.unreachpe", {I32(1)});
  kit.Send("wisp.scsi.device.limitreached", {I32(1024)});
  kit.Send("wisp.scsi.scsipath.limitreached", {Str("x")});
  kit.Send("wisp.scsi.device.nmp.satp.option.failed", {Str("enable_x")});
  kit.Send("wisp.scsi.unknown.thing", {Str("naa.1")});
  EXPECT_TRUE(kit.Flares().empty());
  Texts notes;  // without the observations' own lines
  for (const std::string &line : kit.Logs())
    if (line[0] != '[') notes.push_back(line);
  ASSERT_EQ(notes.size(), 6u);
  EXPECT_EQ(notes[0].rfind("Failed to get PE-incapable adapter name for path hba1:C0:T0:L0 : ", 0),
            0u);
  EXPECT_EQ(notes[1].rfind("Failed to get path name: ", 0), 0u);
  EXPECT_EQ(notes[2].rfind("Failed to get device limit reached plugin name: ", 0), 0u);
  EXPECT_EQ(notes[3].rfind("Failed to get path limit reached path count: ", 0), 0u);
  EXPECT_EQ(notes[4].rfind("Failed to get path name: ", 0), 0u);
  EXPECT_EQ(notes[5], "No correlator for wisp.scsi.unknown.thing \n");
}

// Of the Cairn rows only those identified by name log a failed read.
TEST(Cairn, OnlyIdentifiedRowsLogAFailedRead) {
  CorrelatorKit kit(kCairnCorrelator);
  kit.Send("wisp.cairn.nfs.volume.no.space", {I32(4)});
  kit.Send("wisp.cairn.quillet.bloomfilter.disabled", {Str("disk0")});
  kit.Send("wisp.cairn.heartbeat.timedout", {U32(1), U32(2)});
  kit.Send("wisp.cairn.heartbeat.recovered",
           {U32(1), U32(2), U32(3), U32(4), U32(5), U32(6), U32(7), U32(8), U32(9)});
  kit.Send("wisp.cairn.nfs.server.restored", {Str("nfs0"), Str("/export")});
  kit.Send("wisp.cairn.unknown.report", {Str("x")});
  EXPECT_TRUE(kit.Flares().empty());
  Texts failures;
  for (const std::string &line : kit.Logs())
    if (line.rfind("Failed", 0) == 0) failures.push_back(line);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].rfind("Failed to correlate wisp.cairn.nfs.volume.no.space: ", 0), 0u);
}

}  // namespace
