// The simulated processor and memory nodes: malformed model values find
// nothing, retirement changes what the status query answers.
#include <gtest/gtest.h>
#include <string.h>

#include "mantlectl/mantlectl.h"
#include "pellibs/sysinfo.h"
#include "sandbox.h"

using namespace testing_support;

namespace {

MANTLE_ReturnStatus CpuList(int64_t cpu, char *vendor) {
  Sysi_ParamList *inst = Sysi_ParamListCreate();
  Sysi_ParamListAddInt(inst, cpu);
  char entry[120];
  MANTLE_ReturnStatus s = Sysi_Get(Sysi_NODE_hardware_cpu_cpuList, inst, entry, sizeof entry);
  Sysi_ParamListDestroy(inst);
  if (s == MANTLE_OK) strcpy(vendor, entry + 24);
  return s;
}

uint16_t Status(uint64_t page) {
  MantleCtl::Util::Sysinfo q(Sysi_NODE_system_pageRetire_MPNStatus);
  q.AddInput(page);
  uint8_t reply[4];
  q.Set(reply, sizeof reply);
  uint16_t s;
  memcpy(&s, reply, sizeof s);
  return s;
}

TEST(SimHostCpuMemory, MalformedValuesFindNothing) {
  Root root;
  root.WriteFile("/etc/pelldan/simhost.json",
                 R"({"cpu": {"cores": -1, "pcpus": 2, "vendor": 7, "offline_enabled": "yes"},
                     "memory": {"selection_threshold": -5, "retired_pages": ["x", -1]}})");
  uint8_t info[40], flag;
  char vendor[120];
  uint64_t threshold = 0;
  EXPECT_EQ(Sysi_Get(Sysi_NODE_hardware_cpu_cpuInfo, nullptr, info, sizeof info), MANTLE_NOT_FOUND);
  EXPECT_EQ(CpuList(0, vendor), MANTLE_NOT_FOUND);
  EXPECT_EQ(Sysi_Get(Sysi_NODE_sched_offline_enabled, nullptr, &flag, 1), MANTLE_NOT_FOUND);
  EXPECT_EQ(Sysi_Get(Sysi_NODE_system_pageRetire_threshold, nullptr, &threshold, 8), MANTLE_OK);
  EXPECT_EQ(threshold, 1000u);  // the kernel's own
  EXPECT_EQ(Status(0xffffffffffffffffull), 0);

  root.WriteFile(
      "/etc/pelldan/simhost.json",
      R"({"cpu": {"pcpus": 2, "vendor": "GenuineIntel"}, "memory": {"retired_pages": [9]}})");
  EXPECT_EQ(CpuList(1, vendor), MANTLE_OK);
  EXPECT_STREQ(vendor, "GenuineIntel");
  EXPECT_EQ(CpuList(2, vendor), MANTLE_NOT_FOUND);
  MantleCtl::Util::Sysinfo offline(Sysi_NODE_sched_pcpus_offline);
  offline.SetInstance(int64_t{2});
  EXPECT_THROW(offline.Set(), HostCtl::Lib::HostCtlException);
  EXPECT_EQ(Lines(root.Under("/var/log/pelldan/simhost-actions.jsonl")).size(), 0u);
}

TEST(SimHostCpuMemory, ARetiredPageReportsItsStatus) {
  Root root;
  root.WriteFile("/etc/pelldan/simhost.json", R"({"memory": {"retired_pages": [9]}})");
  EXPECT_EQ(Status(9), 1);
  EXPECT_EQ(Status(10), 0);
  MantleCtl::Util::Sysinfo retire(Sysi_NODE_system_pageRetire_retireMPNs);
  retire.AddInput(uint64_t{10});
  retire.AddInput(int64_t{1});
  retire.AddInput(std::string("NiceRetire"));
  retire.Set();
  EXPECT_EQ(Status(10), 1);
  std::vector<std::string> actions = Lines(root.Under("/var/log/pelldan/simhost-actions.jsonl"));
  ASSERT_EQ(actions.size(), 1u);
  EXPECT_EQ(
      actions[0].rfind(R"({"action":"page_retire","page":10,"count":1,"mode":"NiceRetire",)", 0),
      0u);
  Root other;  // another root has its own retired pages
  EXPECT_EQ(Status(10), 0);
}

}  // namespace
