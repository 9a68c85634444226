// The simulated host: model reloads, failures on demand, sysinfo nodes and
// the configuration store.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

#include "configstore/configstore.h"
#include "mantlectl/hostctl.h"
#include "mantlectl/mantlectl.h"
#include "pellibs/sysinfo.h"
#include "sandbox.h"
#include "simhost/hostmodel.h"

using namespace testing_support;

namespace {

// A file of the source tree (appended, not added: gcc 12 sees a false bound
// overrun in the sum).
std::string SourceFile(const char *path) {
  std::string file = WISPD_SOURCE_DIR;
  return file.append(path);
}

int64_t Threshold() {
  return MantleCtl::Adv::AdvancedIntegerOptionImpl({"Net"}, "LinkFlappingThreshold").GetValue();
}

TEST(SimHost, ReReadsTheModelAndKeepsTheLastGoodOneWhenCorrupt) {
  Root root;
  LogCapture log(root);
  EXPECT_THROW(Threshold(), HostCtl::Lib::HostCtlException);  // no model: empty host
  root.WriteFile("/etc/pelldan/simhost.json",
                 R"({"advanced_options": {"Net": {"LinkFlappingThreshold": 3}}})");
  EXPECT_EQ(Threshold(), 3);
  root.WriteFile("/etc/pelldan/simhost.json", R"({"advanced_options": {"Net": )");
  testing::internal::CaptureStderr();
  EXPECT_EQ(Threshold(), 3);
  // Said on standard error only: the host's syslog is the daemon's alone.
  EXPECT_NE(testing::internal::GetCapturedStderr().find(
                "is not a JSON object; keeping the last good model"),
            std::string::npos);
  EXPECT_EQ(log.Messages(), std::vector<std::string>{});
  root.WriteFile("/etc/pelldan/simhost.json",
                 R"({"advanced_options": {"Net": {"LinkFlappingThreshold": "x"}}})");
  EXPECT_THROW(Threshold(), HostCtl::Lib::HostCtlException);  // wrong type finds nothing
}

// Rewritten in place, as long and within the same second of its time stamp:
// still a change.
TEST(SimHost, SeesAModelRewrittenInPlaceWithinItsSecond) {
  Root root;
  const std::string path = root.Under("/etc/pelldan/simhost.json");
  auto write = [&](int threshold) {
    std::ofstream(path, std::ios::trunc)
        << R"({"advanced_options": {"Net": {"LinkFlappingThreshold": )" << threshold << "}}}";
  };
  write(3);
  EXPECT_EQ(Threshold(), 3);
  struct stat before;
  ASSERT_EQ(stat(path.c_str(), &before), 0);
  write(4);
  struct timespec times[2] = {{0, UTIME_OMIT}, before.st_mtim};
  times[1].tv_nsec = (times[1].tv_nsec + 1) % 1000000000;
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  struct stat after;
  ASSERT_EQ(stat(path.c_str(), &after), 0);
  ASSERT_EQ(after.st_ino, before.st_ino);
  ASSERT_EQ(after.st_size, before.st_size);
  ASSERT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(Threshold(), 4);
}

TEST(SimHost, AnOptionSetAtRunTimeReadsBackAsSet) {
  Root root;
  root.WriteFile("/etc/pelldan/simhost.json",
                 R"({"advanced_options": {"Net": {"LinkFlappingThreshold": 3}}})");
  EXPECT_EQ(Threshold(), 3);
  Sysi_ParamList *inst = Sysi_ParamListCreate();
  Sysi_ParamList *in = Sysi_ParamListCreate();
  Sysi_ParamListAddString(inst, "Net");
  Sysi_ParamListAddString(inst, "LinkFlappingThreshold");
  Sysi_ParamListAddInt(in, 7);
  char out[4];
  EXPECT_EQ(Sysi_Set(Sysi_NODE_config_intOpts, inst, in, out, sizeof out), 0u);
  Sysi_ParamListDestroy(inst);
  Sysi_ParamListDestroy(in);
  EXPECT_EQ(Threshold(), 7);
}

TEST(SimHost, AModelWithAnUnknownKeyIsABadModelNamedByItsPath) {
  Root root;
  const std::string model = "/etc/pelldan/simhost.json";
  const std::string good = R"({"advanced_options": {"Net": {"LinkFlappingThreshold": 3}}, )";
  root.WriteFile(model, good + R"("fail": {"Sysi_Set:config_intOpts": 1, "GetLun": true}})");
  EXPECT_EQ(Threshold(), 3);
  const std::string bad = R"({"advanced_options": {"Net": {"LinkFlappingThreshold": 4}}, )";
  struct Case {
    std::string members, said;
  } cases[] = {
      {R"("port_groups": {"pg1": {"swtich": "switch0"}}})", "port_groups.pg1.swtich"},
      {R"("file_systems": [{"volume": "a", "uuid": "b"}, {"volme": "c"}]})",
       "file_systems[1].volme"},
      {R"("nics": {"pnic0": {"speed": 10}}})", "nics.pnic0.speed"},
      {R"("fail": {"GetLunn": 1}})", "fail.GetLunn"},
      {R"("fail": {"Sysi_Get:config_intOpt": 1}})", "fail.Sysi_Get:config_intOpt"},
      {R"("clocks": {}})", "clocks"},
  };
  for (const Case &c : cases) {
    root.WriteFile(model, bad + c.members);
    testing::internal::CaptureStderr();
    EXPECT_EQ(Threshold(), 3) << c.members;  // the last good model stays
    EXPECT_EQ(Threshold(), 3) << c.members;
    std::string said = testing::internal::GetCapturedStderr();
    std::string line = ": " + c.said + ": unknown key; keeping the last good model\n";
    size_t at = said.find(line);
    EXPECT_NE(at, std::string::npos) << said;
    EXPECT_EQ(said.find(line, at + 1), std::string::npos) << "said once per change: " << said;
  }
  // Every key of the example model is known: it is taken.
  root.WriteFile(model, Slurp(SourceFile("/examples/simhost.json")));
  std::unique_ptr<HostCtl::Network::PortGroup> pg(
      HostCtl::Network::NetworkFactory::GetPortGroupByName("Storage"));
  ASSERT_NE(pg, nullptr);
  EXPECT_EQ(pg->GetVirtualSwitchName(), "switch1");
}

// docs/simhost.md lists the schema; the model reader checks that list.
TEST(SimHost, TheSchemaIsTheOneTheDocsDescribe) {
  std::string doc = Slurp(SourceFile("/docs/simhost.md"));
  size_t from = doc.find("```schema\n");
  ASSERT_NE(from, std::string::npos);
  from += 10;
  std::vector<std::string> listed;
  for (size_t nl; (nl = doc.find('\n', from)) != std::string::npos && doc.compare(from, 3, "```");
       from = nl + 1)
    listed.push_back(doc.substr(from, nl - from));
  EXPECT_EQ(listed, simhost::ModelMembers());
  size_t table = doc.find("### Failures on demand");
  std::string failures = doc.substr(table, doc.find("\n### ", table) - table);
  for (const std::string &call : simhost::FailureCalls())
    EXPECT_NE(failures.find("`" + call + "`"), std::string::npos) << call;
}

TEST(SimHost, FailsNamedCallsAndJournalsActions) {
  Root root;
  root.WriteFile("/etc/pelldan/simhost.json", R"({
    "nics": {"pnic1": {}}, "port_groups": {"frontend": {"switch": "switch0"}},
    "vm_groups": {"77": {"name": "web-01"}},
    "fail": {"Sysi_Set:config_intOpts": 195887108, "GetPortGroupByName": false}})");
  Sysi_ParamList *inst = Sysi_ParamListCreate();
  Sysi_ParamList *in = Sysi_ParamListCreate();
  Sysi_ParamListAddString(inst, "Misc");
  Sysi_ParamListAddString(inst, "WispAsyncEnable");
  Sysi_ParamListAddInt(in, 1);
  EXPECT_EQ(Sysi_Set(Sysi_NODE_config_intOpts, inst, in, nullptr, 0), 0xbad0004u);
  EXPECT_EQ(MANTLE_ReturnStatusToErrno(0xbad0004), EBUSY);
  Sysi_ParamListDestroy(inst);
  Sysi_ParamListDestroy(in);

  MantleCtl::Util::Sysinfo down(Sysi_NODE_net_pNics_linkFlapping);
  down.AddInstancePath("pnic1");
  down.AddInput(int64_t{1});
  down.Set();
  MantleCtl::Util::Sysinfo unknown(Sysi_NODE_net_pNics_linkFlapping);
  unknown.AddInstancePath("pnic9");
  unknown.AddInput(int64_t{1});
  EXPECT_THROW(unknown.Set(), HostCtl::Lib::HostCtlException);
  std::vector<std::string> actions = Lines(root.Under("/var/log/pelldan/simhost-actions.jsonl"));
  ASSERT_EQ(actions.size(), 1u);
  EXPECT_NE(actions[0].find(R"("action":"nic_down","nic":"pnic1")"), std::string::npos);

  std::unique_ptr<HostCtl::Network::PortGroup> pg(
      HostCtl::Network::NetworkFactory::GetPortGroupByName("frontend"));
  ASSERT_NE(pg, nullptr);
  EXPECT_EQ(pg->GetVirtualSwitchName(), "switch0");
  MantleCtl::Util::Sysinfo vm(Sysi_NODE_vm_vmmGroupInfo);
  vm.SetInstance(int64_t{77});
  char record[SYSI_VMM_GROUP_INFO_SIZE];
  vm.Get(record, sizeof record);
  EXPECT_STREQ(record + 388, "web-01");
}

TEST(SimHost, ConfigurationStoreKeepsObjects) {
  using namespace TarnConfigStore;
  Root root;
  Object *obj = nullptr;
  ASSERT_EQ(CreateObject("reboot_reason", "mantle", "tarn", "", "{}", &obj), CSErrorCodes::CS_OK);
  ASSERT_EQ(SetValueStr(obj, "reason", "maintenance"), CSErrorCodes::CS_OK);
  Store *store = nullptr;
  ASSERT_EQ(GetStore(0, &store), CSErrorCodes::CS_OK);
  ASSERT_EQ(SetCachedData(store, obj), CSErrorCodes::CS_OK);
  DestroyConfigStoreObject(obj);
  Object *back = nullptr;
  ASSERT_EQ(Get(store, "reboot_reason", "mantle", "tarn", "", &back), CSErrorCodes::CS_OK);
  char *text = nullptr;
  ASSERT_EQ(GetValueStr(back, "reason", &text), CSErrorCodes::CS_OK);
  EXPECT_STREQ(text, "maintenance");
  free(text);
  EXPECT_EQ(GetValueStr(back, "user", &text), CSErrorCodes::CS_ERR_NOT_FOUND);
  DestroyConfigStoreObject(back);
  EXPECT_EQ(Get(store, "reboot_reason", "mantle", "other", "", &back),
            CSErrorCodes::CS_ERR_NOT_FOUND);
  DestroyStore(store);
  EXPECT_EQ(CreateObject("t", "c", "g", "", "[1]", &obj), CSErrorCodes::CS_ERR_BAD_DOCUMENT);
}

}  // namespace
