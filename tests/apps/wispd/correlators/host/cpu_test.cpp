// The CPU correlator's corrected machine-check path: CPU offlining per core
// within a day, per-page counting within a period, and the option refresh.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "correlator_kit.h"

using namespace testing_support;

extern const CorrelatorDef kCpuCorrelator;

namespace {

constexpr uint64_t kAddressValid = 1ull << 58;
constexpr uint64_t kOverflow = 1ull << 62;
constexpr uint64_t kCoreLocal = 0x0134;  // cache hierarchy, level 0
constexpr uint64_t kLevel2 = 0x0136;     // the same at level 2

std::string Model(const char *vendor, int cores, int offlineThreshold, int period = 30) {
  return std::string(R"({"cpu": {"cores": )") + std::to_string(cores) +
         R"(, "pcpus": 8, "vendor": ")" + vendor +
         R"(", "offline_enabled": 1}, "advanced_options": {"Cpu": {"CPUOfflineThreshold": )" +
         std::to_string(offlineThreshold) +
         R"(}, "PageRetire": {"PageErrorCorrThreshold": 2, "PageErrorCorrPeriod": )" +
         std::to_string(period) + "}}}";
}

// Journalled actions without their time stamps.
std::vector<std::string> Untimed(const std::vector<std::string> &actions) {
  std::vector<std::string> out;
  for (const std::string &a : actions) out.push_back(a.substr(0, a.find(",\"time_us\"")) + "}");
  return out;
}

class Cpu : public ::testing::Test {
 protected:
  void Log(uint64_t status, uint64_t cpu, uint64_t address = 0, uint64_t count = 1) {
    kit.Send("wisp.cpu.mce.log4",
             {U64(0), U64(status), U64(0), U64(0), U64(cpu), U64(address), U64(0), U64(count)});
  }
  std::vector<std::string> Actions() { return Untimed(kit.Actions()); }
  void Use(const std::string &model) {
    kit.Model(model);
    kit.Reset();
  }

  CorrelatorKit kit{kCpuCorrelator, Model("GenuineIntel", 4, 3)};
};

const char kRetire4660[] = R"({"action":"page_retire","page":4660,"count":1,"mode":"NiceRetire"})";

TEST_F(Cpu, APageIsRetiredOnTheThirdLogWithinOnePeriodOnly) {
  Use(Model("OtherVendor", 4, 3));
  Log(kAddressValid, 0, 0x1234567);
  Log(kAddressValid, 0, 0x1234000);
  kit.Advance(30);  // the counts start again
  Log(kAddressValid, 0, 0x1234000);
  Log(kAddressValid, 0, 0x1234000);
  EXPECT_EQ(Actions(), Texts{});
  Log(kAddressValid, 0, 0x1234000);
  EXPECT_EQ(Actions(), Texts{kRetire4660});
  Log(kAddressValid, 0, 0x1234000);  // the kernel now reports it retired
  Log(kAddressValid, 0, 0x1234000);
  EXPECT_EQ(Actions(), Texts{});
  // Without the address-valid bit no page is counted; an overflowing count
  // is not added.
  Log(0, 0, 0x5000, 1);
  Log(0, 0, 0x5000, 1);
  Log(0, 0, 0x5000, 1);
  Log(kAddressValid, 0, 0x6000, 256);
  EXPECT_EQ(Actions(), Texts{});
  Log(kAddressValid, 0, 0x6000, 3);
  EXPECT_EQ(Actions(), Texts{R"({"action":"page_retire","page":6,"count":1,"mode":"NiceRetire"})"});
}

TEST_F(Cpu, AnIntelCoreGoesOfflineOnTheThirdLogWithinADay) {
  // cpus 4 and 5 share core 2 (8 logical CPUs on 4 cores)
  Log(kCoreLocal, 4);
  kit.Advance(3600);
  Log(kCoreLocal, 5);
  Log(kLevel2, 5);  // level 2 never counts
  EXPECT_EQ(Actions(), Texts{});
  Log(kCoreLocal, 4);
  EXPECT_EQ(Actions(), Texts{R"({"action":"cpu_offline","cpu":4})"});
  Log(kCoreLocal, 4);
  Log(kCoreLocal, 5);
  Log(kCoreLocal, 5);
  EXPECT_EQ(Actions(), Texts{}) << "a core goes offline once";
  Log(kOverflow | kCoreLocal, 1);  // counts twice
  Log(kCoreLocal, 0);
  EXPECT_EQ(Actions(), Texts{R"({"action":"cpu_offline","cpu":0})"});
}

TEST_F(Cpu, LogsSpreadOverADayDoNotOffline) {
  Log(kCoreLocal, 6);
  kit.Advance(43200);
  Log(kCoreLocal, 6);
  kit.Advance(43200);
  Log(kCoreLocal, 6);
  Log(kLevel2, 6);
  Log(kLevel2 | kOverflow, 6);
  EXPECT_EQ(Actions(), Texts{});
  Log(kCoreLocal, 6);  // three within the last day now
  EXPECT_EQ(Actions(), Texts{R"({"action":"cpu_offline","cpu":6})"});
}

TEST_F(Cpu, OtherVendorsKeepTheirCpusButRetirePages) {
  Use(Model("AuthenticAMD", 4, 1));
  for (int i = 0; i < 3; ++i) Log(kAddressValid | kCoreLocal, 3, 0x1234000);
  EXPECT_EQ(Actions(), Texts{kRetire4660});
}

TEST_F(Cpu, ACountOfZeroCoresPutsEveryCpuOnOneCore) {
  Use(Model("GenuineIntel", 0, 3));
  Log(kCoreLocal, 1);
  Log(kCoreLocal, 6);
  EXPECT_EQ(Actions(), Texts{});
  Log(kCoreLocal, 7);
  EXPECT_EQ(Actions(), Texts{R"({"action":"cpu_offline","cpu":7})"});
}

TEST_F(Cpu, AThresholdAboveTheRingCountsAsTheWholeRing) {
  Use(Model("GenuineIntel", 4, 100));
  for (int i = 0; i < 63; ++i) Log(kCoreLocal, 2);
  EXPECT_EQ(Actions(), Texts{});
  Log(kCoreLocal, 2);
  EXPECT_EQ(Actions(), Texts{R"({"action":"cpu_offline","cpu":2})"});
}

TEST_F(Cpu, TheRefreshedPeriodReArmsTheCountResetAndZeroDisarmsIt) {
  Use(Model("OtherVendor", 4, 3, 30));
  kit.Model(Model("OtherVendor", 4, 3, 100));
  kit.Advance(60);  // refreshed: the next reset comes 100 s from here
  Log(kAddressValid, 0, 0x1234000);
  Log(kAddressValid, 0, 0x1234000);
  kit.Advance(90);
  Log(kAddressValid, 0, 0x1234000);
  EXPECT_EQ(Actions(), Texts{kRetire4660});

  Use(Model("OtherVendor", 4, 3, 0));
  Log(kAddressValid, 0, 0x2000);
  Log(kAddressValid, 0, 0x2000);
  kit.Advance(1000);
  Log(kAddressValid, 0, 0x2000);
  EXPECT_EQ(Actions(), Texts{R"({"action":"page_retire","page":2,"count":1,"mode":"NiceRetire"})"});
}

// The period read before start arms the count reset: it runs 45 s, then
// 90 s, after registration.
TEST(CpuCountReset, RunsEveryPeriodCountedFromRegistration) {
  CorrelatorKit kit{kCpuCorrelator, Model("OtherVendor", 4, 3, 45)};
  auto log = [&kit](uint64_t page) {
    kit.Send("wisp.cpu.mce.log4",
             {U64(0), U64(kAddressValid), U64(0), U64(0), U64(0), U64(page << 12), U64(0), U64(1)});
  };
  log(1);
  log(1);
  kit.Advance(44);
  log(1);
  log(2);
  EXPECT_EQ(Untimed(kit.Actions()),
            Texts{R"({"action":"page_retire","page":1,"count":1,"mode":"NiceRetire"})"});
  kit.Advance(1);
  log(2);
  log(2);
  log(3);
  kit.Advance(44);
  log(3);
  kit.Advance(1);
  log(3);
  EXPECT_EQ(Untimed(kit.Actions()), Texts{});
}

}  // namespace
