// The running daemon reads the host model again when it changes: a device's
// datastores follow the model file between two observations.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sandbox.h"

using namespace testing_support;

namespace {

std::string Model(const char *datastore) {
  return std::string(R"({"storage": {"luns": {"naa.1": {"disk": true, "partitions": [1],
                         "datastores": {"1": ")") +
         datastore + R"("}}}}})";
}

TEST(ScsiEndToEnd, TheDatastoresNamedFollowAModelChangedWhileRunning) {
  const std::string loss =
      R"({"id": "wisp.scsi.device.state.permanentloss", "args": [{"s": "naa.1"}]})"
      "\n";
  Host host(Model("ds-a"));
  ASSERT_EQ(host.Emit(loss), 0);
  ASSERT_TRUE(host.WaitForFlares(1));
  host.root.WriteFile("/etc/pelldan/simhost.json", Model("ds-b"));
  ASSERT_EQ(host.Emit(loss), 0);
  ASSERT_TRUE(host.WaitForFlares(2));
  const std::string text =
      "[tarn.problem.scsi.device.state.permanentloss] Device: naa.1 has been removed or is "
      "permanently inaccessible. Affected datastores (if any): ";
  EXPECT_EQ(host.FlareTexts(), (std::vector<std::string>{text + "\"ds-a\".", text + "\"ds-b\"."}));
}

}  // namespace
