// The real wisp-alert against an Alertmanager stand-in on loopback: killed
// with SIGKILL while it cannot deliver, restarted, it delivers every flare.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <mutex>
#include <set>

#include "http_server.h"
#include "sandbox.h"

using namespace testing_support;
using Json = nlohmann::json;

namespace {

// Takes (or, while refusing, answers 503 to) POST /api/v2/alerts and keeps
// the labels of every alert it took.
class StandIn {
 public:
  StandIn() {
    std::string why;
    EXPECT_TRUE(server_.Start(
        "127.0.0.1:0",
        [this](const std::string &, const std::string &path, const std::string &body) {
          std::lock_guard<std::mutex> hold(lock_);
          ++posts_;
          if (refusing_ || path != "/api/v2/alerts")
            return wispalert::HttpReply{503, "text/plain", "not now\n"};
          for (const Json &a : Json::parse(body)) taken_.push_back(a);
          return wispalert::HttpReply{200, "application/json", ""};
        },
        &why))
        << why;
  }
  std::string Url() const { return server_.Url(); }
  void Refuse(bool refusing) {
    std::lock_guard<std::mutex> hold(lock_);
    refusing_ = refusing;
  }
  size_t Posts() {
    std::lock_guard<std::mutex> hold(lock_);
    return posts_;
  }
  std::vector<Json> Taken() {
    std::lock_guard<std::mutex> hold(lock_);
    return taken_;
  }

 private:
  std::mutex lock_;
  bool refusing_ = false;
  size_t posts_ = 0;
  std::vector<Json> taken_;
  wispalert::HttpServer server_;
};

std::string Flares(int from, int to) {
  std::string text;
  for (int i = from; i < to; ++i)
    text +=
        "{\"time_us\": 1733400000000000, \"uuid\": \"00\", \"id\": "
        "\"tarn.problem.storage.apd.start\", \"args\": [{\"s\": \"naa." +
        std::to_string(i) + "\"}], \"message\": \"m\"}\n";
  return text;
}

TEST(AlertProcess, KilledWhileItCannotDeliverItLosesNoFlare) {
  Root root;
  StandIn manager;
  std::string journal = root.Under("/var/log/pelldan/hubd.jsonl");
  std::string state = root.Under("/var/lib/pelldan/wisp-alert.json");
  std::ofstream(journal) << Flares(0, 150);
  std::vector<std::string> args = {"--alertmanager", manager.Url(), "--host", "h1"};

  manager.Refuse(true);
  auto first = std::make_unique<Process>(Bin("wisp-alert"), args);
  // It has read the journal and saved its state once it has tried to post.
  ASSERT_TRUE(WaitUntil([&] { return manager.Posts() > 0; }));
  ASSERT_TRUE(WaitUntil([&] { return Slurp(state).find("naa.149") != std::string::npos; }));
  first->Signal(SIGKILL);
  first->Wait();
  first.reset();

  std::ofstream(journal, std::ios::app) << Flares(150, 200);
  manager.Refuse(false);
  Process second(Bin("wisp-alert"), args);
  ASSERT_TRUE(WaitUntil([&] { return manager.Taken().size() >= 200; }, 10000ms));
  std::set<std::string> devices;
  for (const Json &a : manager.Taken()) {
    EXPECT_EQ(a["labels"]["alertname"], "tarn.problem.storage.apd.start");
    EXPECT_EQ(a["labels"]["host"], "h1");
    devices.insert(a["labels"]["device"]);
  }
  EXPECT_EQ(devices.size(), 200u);
  second.Signal(SIGTERM);
  EXPECT_EQ(ExitCode(second.Wait()), 0);
  EXPECT_NE(second.Stderr().find("stopped; state saved in " + state), std::string::npos);
}

// Each device the stand-in took.
std::set<std::string> Devices(StandIn &manager) {
  std::set<std::string> out;
  for (const Json &a : manager.Taken()) out.insert(a["labels"]["device"].get<std::string>());
  return out;
}

TEST(AlertProcess, AHangupChangesNothingAndAStopSavesTheState) {
  Root root;
  StandIn manager;
  std::string journal = root.Under("/var/log/pelldan/hubd.jsonl");
  std::ofstream(journal) << Flares(0, 5);
  Process fwd(Bin("wisp-alert"), {"--alertmanager", manager.Url(), "--host", "h1"});
  ASSERT_TRUE(WaitUntil([&] { return Devices(manager).size() == 5; }));
  fwd.Signal(SIGHUP);
  std::ofstream(journal, std::ios::app) << Flares(5, 10);
  ASSERT_TRUE(WaitUntil([&] { return Devices(manager).size() == 10; }))
      << "gone after SIGHUP: " << fwd.Stderr();
  fwd.Signal(SIGTERM);
  int status = fwd.Wait();
  EXPECT_EQ(ExitCode(status), 0) << "wait status " << status;
  EXPECT_NE(fwd.Stderr().find("stopped; state saved in "), std::string::npos);
}

TEST(AlertProcess, AStopWhoseSaveFailsSaysSoAndEndsWithStatus1) {
  Root root;
  StandIn manager;
  std::string journal = root.Under("/var/log/pelldan/hubd.jsonl");
  std::string state = root.Under("/var/lib/pelldan/wisp-alert.json");
  std::ofstream(journal) << Flares(0, 3);
  Process fwd(Bin("wisp-alert"), {"--alertmanager", manager.Url(), "--host", "h1"});
  ASSERT_TRUE(WaitUntil([&] { return Slurp(state).find("naa.2") != std::string::npos; }));
  // The new file the state is written to cannot be made: a full disk's
  // answer, for root too. Flares read after it leave a state to save.
  ASSERT_EQ(mkdir((state + ".new").c_str(), 0700), 0);
  std::ofstream(journal, std::ios::app) << Flares(3, 5);
  ASSERT_TRUE(WaitUntil([&] { return Devices(manager).count("naa.4") == 1; }));
  fwd.Signal(SIGTERM);
  EXPECT_EQ(ExitCode(fwd.Wait()), 1);
  EXPECT_EQ(fwd.Stderr().find("state saved"), std::string::npos) << fwd.Stderr();
  EXPECT_NE(fwd.Stderr().find("stopped; the state could not be saved (cannot write " + state +
                              ".new: Is a directory)"),
            std::string::npos)
      << fwd.Stderr();
}

// A symbolic link in the journal's place is refused in one line, also when
// the forwarder's own log is in the journal's folder, where every line it
// writes is an event of that folder.
TEST(AlertProcess, ASymlinkedJournalIsRefusedInOneLineWithTheLogBesideIt) {
  Root root;
  StandIn manager;
  std::string journal = root.Under("/var/log/pelldan/hubd.jsonl");
  std::string log = root.Under("/var/log/pelldan/wisp-alert.log");
  std::string elsewhere = root.Under("/var/lib/pelldan/elsewhere.jsonl");
  std::ofstream(journal) << Flares(0, 1);
  Process fwd("/bin/sh", {"-c", "exec \"$0\" \"$@\" 2>>" + log, Bin("wisp-alert"), "--alertmanager",
                          manager.Url(), "--host", "h1"});
  ASSERT_TRUE(WaitUntil([&] { return Devices(manager).size() == 1; }));
  std::ofstream(elsewhere) << Flares(1, 2);
  ASSERT_EQ(unlink(journal.c_str()), 0);
  ASSERT_EQ(symlink(elsewhere.c_str(), journal.c_str()), 0);
  ASSERT_TRUE(WaitUntil([&] { return Slurp(log).find("is a symbolic link") != std::string::npos; }))
      << Slurp(log).substr(0, 2000);
  // A regular file in its place is read.
  ASSERT_EQ(unlink(journal.c_str()), 0);
  std::ofstream(journal) << Flares(2, 3);
  ASSERT_TRUE(WaitUntil([&] { return Devices(manager).count("naa.2") == 1; }));
  fwd.Signal(SIGTERM);
  EXPECT_EQ(ExitCode(fwd.Wait()), 0);
  EXPECT_EQ(Devices(manager).count("naa.1"), 0u) << "the link was followed";
  std::vector<std::string> lines = Lines(log);
  EXPECT_LE(lines.size(), 4u) << Slurp(log).substr(0, 2000);
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string &l) {
                            return l.find("is a symbolic link") != std::string::npos;
                          }),
            1);
}

// Without --problem-ttl a problem no flare ends fires for four hours.
TEST(AlertProcess, AProblemWithoutAClearFiresForFourHoursByDefault) {
  Root root;
  StandIn manager;
  std::ofstream(root.Under("/var/log/pelldan/hubd.jsonl"))
      << "{\"time_us\": 1733400000000000, \"uuid\": \"00\", \"id\": "
         "\"tarn.problem.host.coredump\", \"args\": [], \"message\": \"m\"}\n";
  Process fwd(Bin("wisp-alert"), {"--alertmanager", manager.Url(), "--host", "h1"});
  ASSERT_TRUE(WaitUntil([&] { return !manager.Taken().empty(); })) << fwd.Stderr();
  Json alert = manager.Taken()[0];
  EXPECT_EQ(alert.value("startsAt", ""), "2024-12-05T12:00:00.000000Z");
  EXPECT_EQ(alert.value("endsAt", ""), "2024-12-05T16:00:00.000000Z");
  fwd.Signal(SIGTERM);
  EXPECT_EQ(ExitCode(fwd.Wait()), 0);
}

}  // namespace
