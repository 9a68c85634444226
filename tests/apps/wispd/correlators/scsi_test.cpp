// The scsi correlator in process: rows that convert or read by hand, the
// datastore lists, and path tracking through the fake clock.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "correlator_kit.h"

using namespace testing_support;

extern const CorrelatorDef kScsiCorrelator;

namespace {

typedef std::vector<std::string> Texts;

// naa.1: two partitions on one datastore and one on another; naa.2: a
// partition without a datastore; naa.3: not a disk unit; naa.4: a disk
// without datastores.
const char kModel[] = R"({"storage": {
  "luns": {
    "naa.1": {"disk": true, "redundancy": 3, "partitions": [1, 2, 3],
              "datastores": {"1": "ds-a", "2": "ds-a", "3": "ds-b"}},
    "naa.2": {"disk": true, "redundancy": 2, "partitions": [1, 2], "datastores": {"2": "ds-c"}},
    "naa.3": {"redundancy": 1},
    "naa.4": {"disk": true, "redundancy": 0, "partitions": [1]}},
  "paths": {"hba1:C0:T0:L0": {"device": "naa.1"}, "hba1:C0:T1:L0": {"device": "naa.1"},
            "hba2:C0:T0:L0": {"device": "naa.2"}, "hba3:C0:T0:L0": {"device": "naa.3"},
            "hba4:C0:T0:L0": {"device": "naa.4"}}}})";

class Scsi : public ::testing::Test {
 protected:
  void Path(const char *state, const std::string &path, const std::string &previous) {
    kit.Send(std::string("wisp.scsi.scsipath.pathstate.") + state, {Str(path), Str(previous)});
  }
  // Log lines other than the observations and flares themselves.
  Texts Notes() {
    Texts out;
    for (const std::string &line : kit.Logs())
      if (line[0] != '[') out.push_back(line);
    return out;
  }

  CorrelatorKit kit{kScsiCorrelator, kModel};
};

TEST_F(Scsi, PermanentLossNamesTheDevicesDatastoresOrUnknown) {
  const char *const kId = "wisp.scsi.device.state.permanentloss";
  const std::string head = "[tarn.problem.scsi.device.state.permanentloss] Device: ";
  const std::string tail =
      " has been removed or is permanently inaccessible. Affected datastores "
      "(if any): ";
  for (const char *device : {"naa.1", "naa.2", "naa.3", "naa.4", "naa.unknown"})
    kit.Send(kId, {Str(device)});
  EXPECT_EQ(kit.Texts(),
            (Texts{head + "naa.1" + tail + "\"ds-a\", \"ds-b\".",
                   head + "naa.2" + tail + "\"ds-c\".", head + "naa.3" + tail + "Unknown.",
                   head + "naa.4" + tail + "Unknown.", head + "naa.unknown" + tail + "Unknown."}));
  // A volume request failing otherwise than "no datastore" gives no list.
  kit.Model(R"({"storage": {"luns": {"naa.1": {"disk": true, "partitions": [1],
      "datastores": {"1": "ds-a"}}}}, "fail": {"Volumes_Request": 5}})");
  kit.Send(kId, {Str("naa.1")});
  EXPECT_EQ(kit.Texts(), Texts{head + "naa.1" + tail + "Unknown."});
}

TEST_F(Scsi, EachHandReadArgumentLogsItsOwnLineAndPostsNothing) {
  kit.Send("wisp.scsi.scsipath.badpath.unreachpe", {Str("hba1:C0:T0:L0")});
  kit.Send("wisp.scsi.scsipath.badpath.unreachpe", {I32(1)});
  kit.Send("wisp.scsi.device.limitreached", {I32(1024)});
  kit.Send("wisp.scsi.scsipath.limitreached", {Str("x")});
  kit.Send("wisp.scsi.device.nmp.satp.option.failed", {Str("enable_x")});
  kit.Send("wisp.scsi.unknown.thing", {Str("naa.1")});
  EXPECT_TRUE(kit.Flares().empty());
  Texts notes = Notes();
  ASSERT_EQ(notes.size(), 6u);
  EXPECT_EQ(notes[0].rfind("Failed to get PE-incapable adapter name for path hba1:C0:T0:L0 : ", 0),
            0u);
  EXPECT_EQ(notes[1].rfind("Failed to get path name: ", 0), 0u);
  EXPECT_EQ(notes[2].rfind("Failed to get device limit reached plugin name: ", 0), 0u);
  EXPECT_EQ(notes[3].rfind("Failed to get path limit reached path count: ", 0), 0u);
  EXPECT_EQ(notes[4].rfind("Failed to get path name: ", 0), 0u);
  EXPECT_EQ(notes[5], "No correlator for wisp.scsi.unknown.thing \n");
}

TEST_F(Scsi, PathDownThenUpRestoresOncePerPathAndDevice) {
  Path("dead", "hba1:C0:T0:L0", "standby");
  Path("off", "hba2:C0:T0:L0", "on");
  Path("dead", "hba3:C0:T0:L0", "on");
  Path("dead", "hba4:C0:T0:L0", "on");   // redundancy 0: nothing recorded
  Path("off", "hba1:C0:T1:L0", "dead");  // not from a working state
  EXPECT_EQ(kit.Texts(),
            (Texts{"[tarn.problem.storage.redundancy.degraded] Path redundancy to storage device "
                   "naa.1 degraded. Path hba1:C0:T0:L0 is down. Affected datastores: \"ds-a\", "
                   "\"ds-b\".",
                   "[tarn.problem.storage.redundancy.lost] Lost path redundancy to storage device "
                   "naa.2. Path hba2:C0:T0:L0 is down. Affected datastores: \"ds-c\".",
                   "[tarn.problem.storage.connectivity.lost] Lost connectivity to storage device "
                   "naa.3. Path hba3:C0:T0:L0 is down. Affected datastores: Unknown."}));

  for (int twice = 0; twice < 2; ++twice) {
    Path("on", "hba1:C0:T0:L0", "dead");
    Path("standby", "hba2:C0:T0:L0", "off");
    Path("on", "hba3:C0:T0:L0", "dead");  // state 1: erased, nothing posted
    Path("on", "hba4:C0:T0:L0", "dead");
    Path("on", "hba1:C0:T1:L0", "off");
  }
  EXPECT_EQ(kit.Texts(),
            (Texts{"[tarn.clear.storage.redundancy.restored] Path redundancy to storage device "
                   "naa.1 (Datastores: \"ds-a\", \"ds-b\") restored. Path hba1:C0:T0:L0 is active "
                   "again.",
                   "[tarn.clear.storage.connectivity.restored] Connectivity to storage device "
                   "naa.2 (Datastores: \"ds-c\") restored. Path hba2:C0:T0:L0 is active again."}));

  // The loss belongs to the path and the device it led to when it went down.
  Path("dead", "hba2:C0:T0:L0", "on");
  kit.Flares();
  std::string moved = kModel;
  moved.replace(moved.find(R"("device": "naa.2"}, "hba3)"), 17, R"("device": "naa.1")");
  kit.Model(moved);
  Path("on", "hba2:C0:T0:L0", "dead");
  EXPECT_TRUE(kit.Flares().empty());
}

TEST_F(Scsi, TheTenthStateChangeWithinTheWindowReportsOnce) {
  const std::string flare =
      "[tarn.problem.storage.connectivity.pathstatechanges] Frequent path state changes are "
      "occurring for path hba4:C0:T0:L0. This may indicate a storage problem. Affected device: "
      "naa.4. Affected datastores: Unknown.";
  kit.Send("wisp.scsi.scsipath.add", {Str("hba4:C0:T0:L0")});  // a new path counts 0
  for (int i = 0; i < 9; ++i) Path(i % 2 ? "on" : "off", "hba4:C0:T0:L0", "x");
  kit.Advance(61);  // the decay runs after the tenth is counted
  Path("on", "hba4:C0:T0:L0", "x");
  EXPECT_EQ(kit.Texts(), Texts{flare});
  for (int i = 0; i < 5; ++i) Path("on", "hba4:C0:T0:L0", "x");
  kit.Advance(61);
  Path("on", "hba4:C0:T0:L0", "x");
  EXPECT_TRUE(kit.Flares().empty());  // above 10 stays silent, and survives the decay

  // After the clear, the first change after a quiet minute is decayed away.
  kit.Advance(600);
  for (int i = 0; i < 10; ++i) Path("on", "hba4:C0:T0:L0", "x");
  EXPECT_TRUE(kit.Flares().empty());
  Path("on", "hba4:C0:T0:L0", "x");
  EXPECT_EQ(kit.Texts(), Texts{flare});

  // Eight, a quiet minute, a ninth: the decay zeroes it, so ten more are needed.
  kit.Advance(601);
  for (int i = 0; i < 9; ++i) Path("on", "hba1:C0:T0:L0", "x");  // the first decayed
  kit.Advance(61);
  Path("on", "hba1:C0:T0:L0", "x");
  for (int i = 0; i < 9; ++i) Path("on", "hba1:C0:T0:L0", "x");
  EXPECT_TRUE(kit.Flares().empty());
  Path("on", "hba1:C0:T0:L0", "x");
  EXPECT_EQ(kit.Texts().size(), 1u);

  // A removed path stays with 0; adding it again counts one.
  kit.Advance(601);
  for (int i = 0; i < 5; ++i) Path("on", "hba2:C0:T0:L0", "x");  // the first decayed
  kit.Send("wisp.scsi.scsipath.remove", {Str("hba2:C0:T0:L0")});
  kit.Send("wisp.scsi.scsipath.add", {Str("hba2:C0:T0:L0")});
  for (int i = 0; i < 8; ++i) Path("on", "hba2:C0:T0:L0", "x");
  EXPECT_TRUE(kit.Flares().empty());
  Path("on", "hba2:C0:T0:L0", "x");
  EXPECT_EQ(kit.Texts(),
            Texts{"[tarn.problem.storage.connectivity.pathstatechanges] Frequent path state "
                  "changes are occurring for path hba2:C0:T0:L0. This may indicate a storage "
                  "problem. Affected device: naa.2. Affected datastores: \"ds-c\"."});
}

TEST_F(Scsi, PowerOnResetsCountByPathOrDevice) {
  for (int i = 0; i < 12; ++i) {
    kit.Send("wisp.scsi.scsipath.por", {Str("hba1:C0:T0:L0")});
    kit.Send("wisp.scsi.scsipath.por", {Str("naa.2")});
    kit.Send("wisp.scsi.scsipath.por", {Str("naa.unknown")});  // no redundancy state: nothing
  }
  EXPECT_EQ(kit.Texts(),
            (Texts{"[tarn.problem.storage.connectivity.pathpor] Frequent PowerOn Reset Unit "
                   "Attentions are occurring on path hba1:C0:T0:L0. This may indicate a storage "
                   "problem. Affected device: naa.1. Affected datastores: \"ds-a\", \"ds-b\".",
                   "[tarn.problem.storage.connectivity.devicepor] Frequent PowerOn Reset Unit "
                   "Attentions are occurring on device naa.2. This may indicate a storage "
                   "problem. Affected datastores: \"ds-c\"."}));
  // Nine, a quiet minute, a tenth: counted before the decay, so reported.
  kit.Advance(601);
  kit.Send("wisp.scsi.scsipath.por", {Str("naa.2")});  // cleared, then decayed
  for (int i = 0; i < 9; ++i) kit.Send("wisp.scsi.scsipath.por", {Str("naa.2")});
  kit.Advance(61);
  kit.Send("wisp.scsi.scsipath.por", {Str("naa.2")});
  EXPECT_EQ(kit.Texts().size(), 1u);
}

}  // namespace
