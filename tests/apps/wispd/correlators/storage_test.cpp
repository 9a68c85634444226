// Storage lookups, swap and VM correlators against the simulated host.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "correlator_kit.h"
#include "wispdStorageLookup.h"

using namespace testing_support;

extern const CorrelatorDef kSwapCorrelator;
extern const CorrelatorDef kVmCorrelator;
extern const CorrelatorDef kScsiCorrelator;

namespace {

typedef std::vector<std::string> Texts;

// Log lines since the last look that contain text.
size_t Logged(CorrelatorKit &kit, const std::string &text) {
  size_t n = 0;
  for (const std::string &line : kit.Logs()) n += line.find(text) != std::string::npos;
  return n;
}

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
  std::string raw = Record("wisp.vm.x", {Str("web.cfg"), U32(7)});
  void *copy = malloc(raw.size());
  memcpy(copy, raw.data(), raw.size());
  Wisp *wisp = nullptr;
  Wisp_MakeWisp(copy, raw.size(), &wisp);
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

TEST(Swap, RemovalReconfiguresAndReportsOnlyAFailure) {
  CorrelatorKit kit(kSwapCorrelator, kFileSystems);
  kit.Send("wisp.swap.systemSwap.isPDL.removed", {Str("/cairn/volumes/ds-a/sys.swp")});
  EXPECT_TRUE(kit.Flares().empty());
  Texts actions = kit.Actions();
  ASSERT_EQ(actions.size(), 1u);
  EXPECT_EQ(actions[0].rfind(R"({"action":"swap_reconfigure","args":[false,false],)", 0), 0u);
  Texts logs = kit.Logs();
  ASSERT_FALSE(logs.empty());
  EXPECT_EQ(logs.back(),
            "System swap at path /cairn/volumes/ds-a/sys.swp was affected by the PDL of its "
            "datastore and was removed. System swap has been reconfigured.");

  kit.Model(
      std::string(kFileSystems).insert(1, R"("fail": {"ReconfigureSysSwap": "no swap slot"},)"));
  kit.Send("wisp.swap.systemSwap.isPDL.removed",
           {Str("/cairn/volumes/6a7b8c9d-01020304-cafe-0102030405a6/sys.swp")});
  kit.Send("wisp.swap.systemSwap.isPDL.cannot.remove", {Str("/tmp/sys.swp")});
  kit.Send("wisp.swap.systemSwap.isPDL.cannot.remove", {I32(3)});  // unreadable: nothing
  EXPECT_EQ(kit.Texts(),
            (Texts{"[tarn.problem.swap.systemSwap.isPDL.removed.reconfig.failure.2] System swap "
                   "on 6a7b8c9d-01020304-cafe-0102030405a6 was affected by PDL. It was removed "
                   "but the subsequent reconfiguration failed.",
                   "[tarn.problem.swap.systemSwap.isPDL.cannot.remove.2] System swap on "
                   "(invalid) is affected by PDL but cannot be removed."}));
  EXPECT_TRUE(kit.Actions().empty());
  EXPECT_EQ(Logged(kit, "no swap slot"), 1u);
}

TEST(Vm, KillsReadByTheKernelsMessage) {
  CorrelatorKit kit(kVmCorrelator, kFileSystems);
  kit.Send("wisp.vm.kill.unexpected.noSwapResponse",
           {Str("/cairn/volumes/ds-a/web/web.cfg"), U32(3), U64(120)});
  kit.Send("wisp.vm.kill.unexpected.forcefulPageRetire.64", {Str("web.cfg"), U64(0x1234abcdULL)});
  kit.Send("wisp.vm.kill.unexpected.fault.failure",
           {Str("a.cfg"), Str("/cairn/volumes/ds-b/a.swp")});
  kit.Send("wisp.vm.kill.unexpected.fault.failure", {Str("b.cfg"), Str("/var/swap/b.swp")});
  kit.Send("wisp.vm.kill.unexpected.noSwapResponse", {Str("c.cfg"), U32(3)});  // short: nothing
  kit.Send("wisp.vm.kill.unexpected.other", {Str("d.cfg")});
  EXPECT_EQ(kit.Texts(),
            (Texts{"[tarn.problem.vm.kill.unexpected.noSwapResponse.2] "
                   "/cairn/volumes/ds-a/web/web.cfg did not respond to 3 swap actions in 120 "
                   "seconds and is forcefully powered off to prevent system instability.",
                   "[tarn.problem.vm.kill.unexpected.forcefulPageRetire.64.2] web.cfg contained "
                   "the host physical page 0x1234abcd which was scheduled for immediate "
                   "retirement. To avoid system instability the virtual machine is forcefully "
                   "powered off.",
                   "[tarn.problem.vm.kill.unexpected.fault.failure.2] a.cfg could not fault in a "
                   "guest physical page from the hypervisor level swap file on ds-b. The VM is "
                   "terminated as further progress is impossible.",
                   "[tarn.problem.vm.kill.unexpected.fault.failure.2] b.cfg could not fault in a "
                   "guest physical page from the hypervisor level swap file on (invalid). The VM "
                   "is terminated as further progress is impossible."}));
  EXPECT_EQ(Logged(kit, "No correlator for wisp.vm.kill.unexpected.other \n"), 1u);
  // The remaining two read one string each.
  kit.Send("wisp.vm.kill.unexpected.vmtrack", {Str("e.cfg")});
  kit.Send("wisp.vm.kill.unexpected.vmproc.fault.failure", {Str("f.cfg")});
  EXPECT_EQ(kit.Texts().size(), 2u);
}

}  // namespace

namespace {

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

}  // namespace

namespace {

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

}  // namespace
