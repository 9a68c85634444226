// Flare records, the rate window and the retry queue, against an in-process
// hubd and a fake clock.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "base/wispdTimer.h"
#include "fake_clock.h"
#include "output/wispdFlare.h"
#include "sandbox.h"
#include "simhost/sockets.h"
#include "wispjson.h"

using namespace testing_support;

namespace {

// Accepts flare connections and keeps each record.
class FakeHubd {
 public:
  explicit FakeHubd(const Root &root) {
    fd_ = simhost::BindUnix(SOCK_STREAM, root.Under("/var/run/pelldan/hubd-flare.sock"), 4096);
    thread_ = std::thread([this] { Run(); });
  }
  ~FakeHubd() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }
  std::vector<std::string> Records() {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
  }

 private:
  void Run() {
    while (!stop_) {
      struct pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      int c = accept(fd_, nullptr, nullptr);
      if (c < 0) continue;
      std::string rec = ReadAll(c);
      std::lock_guard<std::mutex> lock(mutex_);
      records_.push_back(rec);
    }
  }
  int fd_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::string> records_;
  std::thread thread_;
};

// The arguments of a flare record as hubd shows them.
std::string ArgsOf(const std::string &rec) {
  tools::OrderedJson line;
  std::string error;
  if (!tools::DecodeFlare(reinterpret_cast<const uint8_t *>(rec.data()), rec.size(), &line, &error))
    return "undecodable: " + error;
  return line["args"].dump();
}

class FlareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static int64_t start = 1800000000;
    start += 10000;  // every test opens a rate window of its own
    clock = std::make_unique<FakeClock>(start);
    root.WriteFile("/etc/pelldan/simhost.json",
                   R"({"system": {"uuid": "4c4c4544-0042-3510-8052-b4c04f4e4d32"}})");
    Timer_Service().Clear();  // only this test's retry timer
    Flare_Init();
  }
  Root root;
  LogCapture log{root};
  std::unique_ptr<FakeClock> clock;
};

TEST_F(FlareTest, RecordCarriesIdUuidAndPackedArgumentsButNoMessage) {
  FakeHubd hubd(root);
  Flare_PostClear("@&!*@*@(tarn.clear.net.lacp.lag.transition.up)LAG %s on Weave %s is up.", "lag1",
                  "weave0");
  ASSERT_TRUE(WaitUntil([&] { return hubd.Records().size() == 1; }));
  std::string rec = hubd.Records()[0];
  tools::OrderedJson line;
  std::string error;
  ASSERT_TRUE(
      tools::DecodeFlare(reinterpret_cast<const uint8_t *>(rec.data()), rec.size(), &line, &error))
      << error;
  EXPECT_EQ(line["id"], "tarn.clear.net.lacp.lag.transition.up");
  EXPECT_EQ(line["args"].dump(), R"([{"s":"lag1"},{"s":"weave0"}])");
  EXPECT_EQ(line["uuid"].get<std::string>().substr(0, 8), "34633463");  // "4c4c" as text
  const size_t n = std::string("tarn.clear.net.lacp.lag.transition.up").size() + 1;
  EXPECT_EQ(rec.size(), 72 + n + 2 * 32 + 5 + 7);
  EXPECT_EQ(rec.find("is up"), std::string::npos);
  EXPECT_TRUE(
      log.WaitFor("[tarn.clear.net.lacp.lag.transition.up] LAG lag1 on Weave weave0 is up.\n"));
}

TEST_F(FlareTest, WindowAdmitsAThousandFlaresAMinute) {
  FakeHubd hubd(root);
  for (int i = 0; i < 1001; ++i) Flare_PostAudit("@&!*@*@(tarn.audit.rate.test)n %d", i);
  EXPECT_TRUE(log.WaitFor("Event rate limit reached. Dropping flare: tarn.audit.rate.test\n"));
  clock->Advance(59);
  Flare_PostAudit("@&!*@*@(tarn.audit.rate.test)n %d", -1);  // still the same window
  clock->Advance(1);
  Flare_PostAudit("@&!*@*@(tarn.audit.rate.test)n %d", -2);  // a new window
  ASSERT_TRUE(WaitUntil([&] { return hubd.Records().size() == 1001; }));
  EXPECT_TRUE(WaitUntil([&] { return log.Count("Event rate limit reached") == 2; }));
}

TEST_F(FlareTest, RetrySucceedsAfterOneFailure) {
  Flare_PostProblem("@&!*@*@(tarn.problem.retry.once)disk %s", "d1");
  EXPECT_TRUE(
      log.WaitFor("An event (tarn.problem.retry.once) could not be sent immediately to "
                  "hubd; queueing for retry."));
  EXPECT_EQ(Flare_QueueLength(), 1u);
  FakeHubd hubd(root);
  Flare_RetryPass();
  EXPECT_TRUE(log.WaitFor("Successfully sent event (tarn.problem.retry.once) after 1 failure.\n"));
  EXPECT_EQ(Flare_QueueLength(), 0u);
  EXPECT_TRUE(WaitUntil([&] { return hubd.Records().size() == 1; }));
}

// The retry pass is due 180 s after the queue first took a flare: a flare
// queued meanwhile does not put it off (a steady trickle would for ever).
TEST_F(FlareTest, AFlareQueuedWhileThePassIsDueDoesNotPutItOff) {
  ASSERT_EQ(Flare_QueueLength(), 0u);
  int64_t first = clock->Seconds();
  Flare_Post(true, FLARE_PROBLEM, "@&!*@*@(tarn.problem.retry.first)x");
  EXPECT_EQ(Timer_Service().Earliest(), first + 180);
  clock->Advance(100);
  Flare_Post(true, FLARE_PROBLEM, "@&!*@*@(tarn.problem.retry.second)x");
  EXPECT_EQ(Timer_Service().Earliest(), first + 180);
  clock->Advance(80);
  EXPECT_TRUE(Timer_Service().FireDue(clock->Seconds()));
  EXPECT_TRUE(
      log.WaitFor("Failed to send event (tarn.problem.retry.second); 2 failures so far.\n"));
  // Kept, both wait for the next pass, 180 s after this one.
  EXPECT_EQ(Timer_Service().Earliest(), first + 360);
}

TEST_F(FlareTest, AFlareIsTriedSixTimesAtMost) {
  Flare_Post(true, FLARE_PROBLEM, "@&!*@*@(tarn.problem.retry.never)x");
  for (int pass = 0; pass < 5; ++pass) Flare_RetryPass();
  for (int n = 2; n <= 5; ++n)
    EXPECT_TRUE(log.WaitFor("Failed to send event (tarn.problem.retry.never); " +
                            std::to_string(n) + " failures so far.\n"));
  EXPECT_TRUE(log.WaitFor("Abandoned event (tarn.problem.retry.never) after 6 failures.\n"));
  EXPECT_EQ(Flare_QueueLength(), 0u);
}

TEST_F(FlareTest, DropsOverLongIdsAndUnpackableArgumentsSilently) {
  FakeHubd hubd(root);
  std::string longId = "@&!*@*@(tarn.problem." + std::string(116, 'x') + ")m";
  Flare_PostProblem(longId.c_str(), 0);  // a run-time format
  std::string huge(20000, 'y');
  Flare_PostProblem("@&!*@*@(tarn.problem.too.big)%s", huge.c_str());
  Flare_PostProblem("@&!*@*@(tarn.problem.after)ok");
  ASSERT_TRUE(WaitUntil([&] { return hubd.Records().size() == 1; }));
  EXPECT_TRUE(log.WaitFor("[tarn.problem.after] ok\n"));
  EXPECT_EQ(log.Count("too.big"), 0u);
  EXPECT_EQ(log.Count("xxxxxxxx"), 0u);
  EXPECT_EQ(Flare_QueueLength(), 0u);
}

// A pass holds the queue while it sends: flares queued meanwhile wait for
// it and join the queue after it, and every flare reaches hubd once.
TEST_F(FlareTest, PostersThatMustQueueWaitForARunningRetryPass) {
  constexpr int kQueued = 4, kPosters = 3;
  const char kFormat[] = "@&!*@*@(tarn.problem.retry.race)n %d";
  for (int i = 0; i < kQueued; ++i) Flare_Post(true, FLARE_PROBLEM, kFormat, i);
  ASSERT_EQ(Flare_QueueLength(), size_t{kQueued});
  std::vector<std::string> args;
  {
    FakeHubd hubd(root);
    std::thread pass(Flare_RetryPass);
    std::vector<std::thread> posters;
    for (int i = 0; i < kPosters; ++i)
      posters.emplace_back(
          [&kFormat, i] { Flare_Post(true, FLARE_PROBLEM, kFormat, kQueued + i); });
    pass.join();
    for (std::thread &t : posters) t.join();
    // The pass sent what was queued before it; a poster that queued first
    // was sent with it.
    Flare_RetryPass();
    EXPECT_TRUE(WaitUntil([&] { return hubd.Records().size() == size_t{kQueued + kPosters}; }));
    for (const std::string &rec : hubd.Records()) args.push_back(ArgsOf(rec));
  }
  std::sort(args.begin(), args.end());
  std::vector<std::string> want;
  for (int i = 0; i < kQueued + kPosters; ++i)
    want.push_back(R"([{"i32":)" + std::to_string(i) + "}]");
  std::sort(want.begin(), want.end());
  EXPECT_EQ(args, want);
  EXPECT_EQ(Flare_QueueLength(), 0u);
}

}  // namespace
