// Hardware, scheduler, CPU and page-retirement observations through the
// daemon: flares at hubd, host changes in the actions journal.
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

// Journal lines without their time stamps.
std::vector<std::string> Actions(const Host &host) {
  std::vector<std::string> out;
  for (const std::string &a : Lines(host.root.Under("/var/log/pelldan/simhost-actions.jsonl")))
    out.push_back(a.substr(0, a.find(",\"time_us\"")) + "}");
  return out;
}

std::string Log4(uint64_t status, int cpu, uint64_t address) {
  return Obs("wisp.cpu.mce.log4", R"({"u64": 0}, {"u64": )" + std::to_string(status) +
                                      R"(}, {"u64": 0}, {"u64": 0}, {"u64": )" +
                                      std::to_string(cpu) + R"(}, {"u64": )" +
                                      std::to_string(address) + R"(}, {"u64": 0}, {"u64": 1})");
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

TEST(HostEndToEnd, MachineChecksOfflineACpuAndRetireAPage) {
  Host host(R"({"cpu": {"cores": 4, "pcpus": 8, "vendor": "GenuineIntel", "offline_enabled": 1},
    "advanced_options": {"Cpu": {"CPUOfflineThreshold": 3},
                         "PageRetire": {"PageErrorCorrThreshold": 2, "PageErrorCorrPeriod": 30}}})");
  const uint64_t valid = 1ull << 58, coreLocal = 0x0134;
  ASSERT_EQ(
      host.Emit(Log4(valid | coreLocal, 4, 0x1234000) + Log4(valid | coreLocal, 5, 0x1234000) +
                Log4(valid | coreLocal, 4, 0x1234000)),
      0);
  ASSERT_TRUE(WaitUntil([&] { return Actions(host).size() >= 2; }));
  EXPECT_EQ(Actions(host),
            (std::vector<std::string>{
                R"({"action":"cpu_offline","cpu":4})",
                R"({"action":"page_retire","page":4660,"count":1,"mode":"NiceRetire"})"}));
}

TEST(HostEndToEnd, AGuestTouchingAPoisonedPageIsKilled) {
  Host host(R"({"vms": {"81234": {"name": "db-backend-02"}}})");
  std::string burst;
  for (int i = 0; i < 25; ++i)
    burst += Obs("wisp.pageretire.mce.injected", R"({"u64": 66}, {"i32": 81234})",
                 "Injected MCE for PPN %lx into virtual machine %d.");
  ASSERT_EQ(host.Emit(burst + "{\"sleep\": 2.2}\n" + burst), 0);
  ASSERT_TRUE(host.WaitForFlares(1));
  EXPECT_EQ(
      Messages(host),
      std::vector<std::string>{
          "[tarn.problem.pageretire.mce.injected.2] Killing db-backend-02 because at least 50 "
          "uncorrectable memory error machine check exceptions were injected for guest "
          "physical page 0x42 but the virtual machine's operating system kept using the "
          "page."});
  EXPECT_EQ(Actions(host),
            std::vector<std::string>{
                R"({"action":"vm_kill","world_id":81234,"name":"db-backend-02","how":0})"});
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
