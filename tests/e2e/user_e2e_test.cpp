// A reboot request from a producer through the daemon to hubd leaves its
// reason in the configuration store, where wisp-reason finds it after the
// daemon has stopped.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "configstore/configstore.h"
#include "sandbox.h"

using namespace testing_support;

namespace {

// wisp-reason's standard output and exit status.
std::string Reason(int *status) {
  Process p(Bin("wisp-reason"), {});
  int ws = p.Wait();
  *status = ExitCode(ws);
  return p.Stdout() + p.Stderr();
}

TEST(UserEndToEnd, RebootReasonSurvivesTheDaemon) {
  Host host;
  int status = 0;
  std::string before = Reason(&status);
  EXPECT_EQ(status, 1);
  EXPECT_NE(before.find("no configuration store at " + host.root.Path()), std::string::npos)
      << before;
  EXPECT_NE(access(host.root.Under("/var/lib/pelldan/configstore.db").c_str(), F_OK), 0);

  ASSERT_EQ(host.Emit(R"({"id": "wisp.user.hubd.host.reboot.reason", "args": [)"
                      R"({"s": "hubd:  replace hba1"}, {"s": "ops1"}]})"
                      "\n",
                      {"--ctx", "user"}),
            0);
  ASSERT_TRUE(host.WaitForFlares(1));  // its text is examples/scenarios/reboot-reasons.yaml

  // The record is written just after the flare is posted.
  EXPECT_TRUE(WaitUntil([&] { return Reason(&status), status == 0; }))
      << testing::PrintToString(host.log.Messages());
  host.wispd->Signal(SIGTERM);
  ASSERT_NE(host.wispd->Wait(), -1);
  std::string after = Reason(&status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(after.substr(0, after.find("timestamp: ")),
            "type: REBOOT\nuser: ops1\nsubsystem: DONT_REPLICATE\n");
  EXPECT_NE(after.find("\nreason: replace hba1\n"), std::string::npos) << after;
}

TEST(UserEndToEnd, ReasonToolAnswersHelpAndFindsNoReasonInAnEmptyStore) {
  Root root;
  Process help(Bin("wisp-reason"), {"--help"});
  EXPECT_EQ(help.Wait(), 0);
  EXPECT_EQ(help.Stdout().rfind("Usage: wisp-reason", 0), 0u);

  // An empty store file stays empty: the tool only reads.
  const std::string store = root.Under("/var/lib/pelldan/configstore.db");
  root.WriteFile("/var/lib/pelldan/configstore.db", "");
  int status = 0;
  std::string empty = Reason(&status);
  EXPECT_NE(empty.find("No reboot reason is recorded.\n"), std::string::npos) << empty;
  EXPECT_EQ(status, 1);
  struct stat st;
  ASSERT_EQ(stat(store.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 0);

  // A record without a readable reason is no reason, as the daemon counts it.
  unlink(store.c_str());
  namespace cs = TarnConfigStore;
  cs::Store *s = nullptr;
  cs::Object *o = nullptr;
  ASSERT_EQ(cs::GetStore(0, &s), cs::CSErrorCodes::CS_OK);
  ASSERT_EQ(cs::CreateObject("reboot_reason", "mantle", "tarn", "", R"({"type": "REBOOT"})", &o),
            cs::CSErrorCodes::CS_OK);
  ASSERT_EQ(cs::SetCachedData(s, o), cs::CSErrorCodes::CS_OK);
  cs::DestroyConfigStoreObject(o);
  cs::DestroyStore(s);
  ASSERT_EQ(stat(store.c_str(), &st), 0);
  const off_t size = st.st_size;
  EXPECT_EQ(Reason(&status), "No reboot reason is recorded.\n");
  EXPECT_EQ(status, 1);
  ASSERT_EQ(stat(store.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, size);
}

}  // namespace
