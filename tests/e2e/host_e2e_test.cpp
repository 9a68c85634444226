// Hardware and scheduler observations through the daemon, and a host that
// stops it at start.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "sandbox.h"
#include "wispjson.h"

using namespace testing_support;

namespace {

std::string Obs(const std::string &id, const std::string &args, const std::string &fmt = "") {
  std::string line = R"({"id": ")" + id + R"(", "args": [)" + args + "]";
  if (!fmt.empty()) line += R"(, "fmt": ")" + fmt + "\"";
  return line + "}\n";
}

// Sorted: the correlators post from threads of their own.
std::vector<std::string> Messages(const Host &host) {
  std::vector<std::string> out = host.FlareTexts();
  std::sort(out.begin(), out.end());
  return out;
}

TEST(HostEndToEnd, HardwareAndSchedulerObservationsReachHubd) {
  Host host;
  std::string lines =
      Obs("wisp.hardware.nvd.health.life.pctused",
          "{\"u32\": 0}, {\"s\": \"dimm0\"}, {\"u32\": 97}, {\"u32\": 95}") +
      Obs("wisp.hardware.nvd.health.alarms.temperature",
          R"({"u32": 26}, {"s": "dimm1"}, {"i32": 71})") +
      Obs("wisp.hardware.fpin.fc.congestion.clear", R"({"s": "20:00:00:00:c9:00:00:01"})") +
      Obs("wisp.sched.latency.abort", "") +
      Obs("wisp.sched.qos.cat.noresource", R"({"s": "db-backend-02"})");
  ASSERT_EQ(host.Emit(lines), 0);
  ASSERT_TRUE(host.WaitForFlares(3));
  usleep(300000);
  EXPECT_EQ(Messages(host),
            (std::vector<std::string>{
                "[tarn.audit.hardware.nvd.health.alarms.temperature] NVDIMM (handle 0x1a, idString "
                "dimm1): Temperature (71 C) has reached the pre-programmed threshold limit.",
                "[tarn.audit.hardware.nvd.health.life.pctused] NVDIMM (handle 0, idString dimm0): "
                "Life Percentage Used (97) has reached the threshold limit (95).",
                "[tarn.problem.sched.qos.cat.noresource] Unable to support L3 cache allocation for "
                "virtual machine db-backend-02. Out of resources."}));
  EXPECT_TRUE(host.log.WaitFor("Failed to arg: 75"));
}

TEST(HostEndToEnd, AHostWithoutTheSelectionThresholdStopsTheDaemon) {
  Root root;
  LogCapture log{root};
  root.WriteFile("/etc/pelldan/simhost.json",
                 R"({"fail": {"Sysi_Get:system_pageRetire_threshold": true}})");
  Process daemon(Bin("wispd"), {});
  int ws = daemon.Wait(10000ms);
  ASSERT_NE(ws, -1);
  EXPECT_TRUE(WIFSIGNALED(ws));
  EXPECT_NE(
      daemon.Stderr().find("Wispd - Panic: NOT_REACHED apps/wispd/wispdPageRetireCorrelator:179\n"),
      std::string::npos)
      << daemon.Stderr();
}

}  // namespace
