// Storage observations from wisp-emit through the daemon to hubd, with the
// host model answering datastores, paths and redundancy states.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "sandbox.h"
#include "wispjson.h"

using namespace testing_support;

namespace {

std::string Model(int redundancy) {
  return R"({"storage": {"luns": {"naa.1": {"disk": true, "redundancy": )" +
         std::to_string(redundancy) +
         R"(, "partitions": [1, 2, 3], "datastores": {"1": "ds-a", "3": "ds-b"}}},
             "paths": {"hba1:C0:T0:L0": {"device": "naa.1"}}}})";
}

std::string PathState(const char *state, const char *previous) {
  return std::string(R"({"id": "wisp.scsi.scsipath.pathstate.)") + state +
         R"(", "args": [{"s": "hba1:C0:T0:L0"}, {"s": ")" + previous + R"("}]})" + "\n";
}

// hubd's lines as "[event id] message".
TEST(ScsiEndToEnd, DatastoreFlareAndAPathLossWithItsRestoration) {
  Host host(Model(2));
  ASSERT_EQ(host.Emit(R"({"id": "wisp.scsi.device.state.permanentloss", "args": [{"s": "naa.1"}]})"
                      "\n" +
                      PathState("dead", "on")),
            0);
  ASSERT_TRUE(host.WaitForFlares(2));
  // The host now reports the device with some paths left.
  host.root.WriteFile("/etc/pelldan/simhost.json", Model(3));
  ASSERT_EQ(host.Emit(PathState("on", "dead") + PathState("standby", "dead")), 0);
  ASSERT_TRUE(host.WaitForFlares(3));
  usleep(300000);  // a second restoration would have arrived by now
  EXPECT_EQ(host.FlareTexts(),
            (std::vector<std::string>{
                "[tarn.problem.scsi.device.state.permanentloss] Device: naa.1 has been removed or "
                "is permanently inaccessible. Affected datastores (if any): \"ds-a\", \"ds-b\".",
                "[tarn.problem.storage.redundancy.lost] Lost path redundancy to storage device "
                "naa.1. Path hba1:C0:T0:L0 is down. Affected datastores: \"ds-a\", \"ds-b\".",
                "[tarn.clear.storage.redundancy.restored] Path redundancy to storage device "
                "naa.1 (Datastores: \"ds-a\", \"ds-b\") restored. Path hba1:C0:T0:L0 is active "
                "again."}));
}

}  // namespace
