// Agent threads and the correlator framework on them.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "base/wispdStats.h"
#include "fake_clock.h"
#include "intake.h"
#include "intake/wispdAgent.h"
#include "intake/wispdCorrelator.h"
#include "records.h"
#include "sandbox.h"

using namespace testing_support;

namespace {

std::atomic<int> gStarted{0};
std::atomic<int> gStops{0};
std::atomic<int> gStopRank[AGENT_MAX];  // by agent index: when it stopped

void RecordStop(void *index) {
  gStopRank[reinterpret_cast<intptr_t>(index)] = gStops++;
}

void IdleAgent() {
  intptr_t index = gStarted++;
  const char *groups[] = {"idle", nullptr};
  AgentRecord *rec = nullptr;
  if (Agent_Init("idleAgent", groups, nullptr, &rec) != 0) return;
  pthread_cleanup_push(RecordStop, reinterpret_cast<void *>(index));
  Wisp *w = nullptr;
  while (Agent_NextWisp(rec, &w) == 0) Wisp_Free(w);
  pthread_cleanup_pop(0);
}

TEST(Agents, StartAtMostThirtyTwoAndStopNewestFirst) {
  Root root;
  LogCapture log(root);
  EnsureRegistry();
  gStarted = 0;
  gStops = 0;
  for (int i = 0; i < AGENT_MAX + 1; ++i) Agent_Start(IdleAgent);
  EXPECT_TRUE(log.WaitFor("Failed to start agent. Already reached max limit of 32 agents.\n"));
  EXPECT_EQ(gStarted.load(), AGENT_MAX);
  Agent_StopAll();
  ASSERT_EQ(gStops.load(), AGENT_MAX);
  for (int i = 0; i < AGENT_MAX; ++i) EXPECT_EQ(gStopRank[i].load(), AGENT_MAX - 1 - i) << i;
}

TEST(Agents, InitFailsWithCodeOneForElevenGroups) {
  Root root;
  LogCapture log(root);
  EnsureRegistry();
  const char *groups[] = {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", nullptr};
  AgentRecord *rec = nullptr;
  EXPECT_EQ(Agent_Init("elevenAgent", groups, nullptr, &rec), 1);
  EXPECT_EQ(rec, nullptr);
  EXPECT_TRUE(log.WaitFor("Failed to initialize agent elevenAgent (error code: 1) \n"));
}

std::mutex gSeenMutex;
std::vector<std::string> gSeen;
std::atomic<int> gWakeups{0};
int gWakePipe[2];

void See(const Wisp *w, const char *what) {
  const char *id;
  Wisp_GetID(w, &id);
  std::lock_guard<std::mutex> lock(gSeenMutex);
  gSeen.push_back(std::string(what) + ":" + id);
}
void Ok(const Wisp *w) {
  See(w, "ok");
}
void Throws(const Wisp *w) {
  See(w, "throws");
  throw std::runtime_error("handler failed");
}
void Fallback(const Wisp *w) {
  See(w, "fallback");
}
void Wake() {
  ++gWakeups;
}

void TestCorrelator() {
  WispHandlerTable table;
  table["wisp.fw.ok"] = Throws;
  table["wisp.fw.ok"] = Ok;  // the last assignment wins
  table["wisp.fw.throw"] = Throws;
  table["wisp.fw.empty"] = nullptr;
  Correlator_RunWithFds("fw", "fw", Fallback, table, Wake, &gWakePipe[0], 1);
}

std::vector<std::string> Seen() {
  std::lock_guard<std::mutex> lock(gSeenMutex);
  return gSeen;
}

TEST(Correlator, DispatchesByTableSurvivesExceptionsAndWakesOncePerTurn) {
  Root root;
  LogCapture log(root);
  EnsureRegistry();
  ASSERT_EQ(pipe(gWakePipe), 0);
  Agent_Start(TestCorrelator);
  ASSERT_EQ(Dispatch(Record("wisp.fw.throw") + Record("wisp.fw.ok") + Record("wisp.fw.other") +
                     Record("wisp.fw.empty")),
            0);
  ASSERT_TRUE(WaitUntil([] { return Seen().size() == 4; }));
  EXPECT_EQ(Seen(), (std::vector<std::string>{"throws:wisp.fw.throw", "ok:wisp.fw.ok",
                                              "fallback:wisp.fw.other", "fallback:wisp.fw.empty"}));
  ASSERT_TRUE(log.WaitFor("[fwCorrelator] 1733400000000000us: [wisp.fw.ok] \n"));
  EXPECT_EQ(log.Count("[wisp.fw.throw]"), 1u);
  EXPECT_EQ(log.Count("[wisp.fw.other]"), 0u);  // the fallback is not logged

  ASSERT_EQ(write(gWakePipe[1], "abcde", 5), 5);
  // Back in its wait with nothing unread, the agent has read every byte.
  ASSERT_TRUE(WaitUntil([] {
    std::string s = Stats_Render(0);
    return gWakeups.load() >= 1 &&
           s.find("wispd_agent_waiting{agent=\"fwCorrelator\"} 1\n") != std::string::npos &&
           s.find("wispd_agent_backlog_bytes{agent=\"fwCorrelator\"} 0\n") != std::string::npos;
  }));
  EXPECT_EQ(gWakeups.load(), 1);
  Agent_StopAll();
  close(gWakePipe[0]);
  close(gWakePipe[1]);
}

// A handler that works 150 µs: from the second record of a batch on, the
// agent has worked a whole turn before each and offers its CPU.
std::atomic<int> gSpinDone{0};
void Spin(const Wisp *) {
  auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(150);
  while (std::chrono::steady_clock::now() < until) {
  }
  ++gSpinDone;
}
void SpinCorrelator() {
  WispHandlerTable table;
  table["wisp.spin.step"] = Spin;
  Correlator_Run("spin", "spin", Fallback, table);
}

TEST(Correlator, AnAgentThatWorksAWholeTurnOffersItsCpu) {
  Root root;
  LogCapture log(root);
  EnsureRegistry();
  Agent_Start(SpinCorrelator);
  uint64_t before = Stats_Get(STATS_CPU_OFFERED);
  ASSERT_EQ(
      Dispatch(Record("wisp.spin.step") + Record("wisp.spin.step") + Record("wisp.spin.step")), 0);
  ASSERT_TRUE(WaitUntil([] { return gSpinDone.load() == 3; }));
  EXPECT_GE(Stats_Get(STATS_CPU_OFFERED) - before, 2u);
  Agent_StopAll();
}

// Both loops: a stop that arrives while an agent is busy (here sleeping, a
// cancellation point) waits until the agent is back waiting for input.
std::atomic<int> gBusy{0};
std::atomic<int> gFinished{0};
int gSlowPipe[2];

void Slow(const Wisp *) {
  ++gBusy;
  usleep(300000);
  ++gFinished;
}
void SlowWake() {
  Slow(nullptr);
}

void SlowCorrelator() {
  static const WispHandlerTable kNone;
  Correlator_Run("slow", "slow", Slow, kNone);
}

void SlowWakeCorrelator() {
  static const WispHandlerTable kNone;
  Correlator_RunWithFds("slowWake", "slowwake", Correlator_IgnoreWisp, kNone, SlowWake,
                        &gSlowPipe[0], 1);
}

TEST(Agents, StopWaitsForHandlersAndWakeUpsToFinish) {
  Root root;
  LogCapture log(root);
  EnsureRegistry();
  ASSERT_EQ(pipe(gSlowPipe), 0);
  gBusy = 0;
  gFinished = 0;
  Agent_Start(SlowCorrelator);
  Agent_Start(SlowWakeCorrelator);
  ASSERT_EQ(Dispatch(Record("wisp.slow.one")), 0);
  ASSERT_EQ(write(gSlowPipe[1], "x", 1), 1);
  ASSERT_TRUE(WaitUntil([] { return gBusy.load() == 2; }));
  Agent_StopAll();
  EXPECT_EQ(gFinished.load(), 2);
  close(gSlowPipe[0]);
  close(gSlowPipe[1]);
}

// The counters say what an agent took, whether it waits and what is still
// unread for it, so that an observer can tell when it is done.
std::mutex gGateMutex;
std::condition_variable gGateCond;
bool gGateOpen = false;
std::atomic<int> gEntered{0};

void Gated(const Wisp *) {
  ++gEntered;
  std::unique_lock<std::mutex> lock(gGateMutex);
  gGateCond.wait(lock, [] { return gGateOpen; });
}

void GateCorrelator() {
  static const WispHandlerTable kNone;
  Correlator_Run("gate", "gate", Gated, kNone);
}

// The same on a group of its own: a stopped agent's stream stays in the
// registry, and the next test must not fill it.
void StallCorrelator() {
  static const WispHandlerTable kNone;
  Correlator_Run("stall", "stall", Gated, kNone);
}

// took, wake-ups, waiting, backlog of an agent, as the snapshot has them.
std::string GateRow(const std::string &agent = "gateCorrelator") {
  std::string text = Stats_Render(0), row;
  for (const char *metric : {"wispd_agent_observations_total", "wispd_agent_wakeups_total",
                             "wispd_agent_waiting", "wispd_agent_backlog_bytes"}) {
    std::string key = std::string(metric) + "{agent=\"" + agent + "\"} ";
    size_t at = text.find(key);
    if (at == std::string::npos) return "missing " + key;
    at += key.size();
    row += (row.empty() ? "" : " ") + text.substr(at, text.find('\n', at) - at);
  }
  return row;
}

void IdleEndingAgent() {
  const char *groups[] = {"ending", nullptr};
  AgentRecord *rec = nullptr;
  if (Agent_Init("endingAgent", groups, nullptr, &rec) == 0) Agent_Cleanup(&rec);
}

TEST(Agents, CountersTellWhatAnAgentTookAndWhetherItWaits) {
  Root root;
  LogCapture log(root);
  EnsureRegistry();
  Stats_Reset();
  gEntered = 0;
  Agent_Start(GateCorrelator);
  EXPECT_TRUE(WaitUntil([] { return GateRow() == "0 0 1 0"; })) << GateRow();
  std::string rec = Record("wisp.gate.one");
  ASSERT_EQ(Dispatch(rec + rec), 0);
  ASSERT_TRUE(WaitUntil([] { return gEntered.load() == 1; }));
  // Woken once, busy with the first, the second still in its pipe.
  EXPECT_EQ(GateRow(), "1 1 0 " + std::to_string(rec.size()));
  {
    std::lock_guard<std::mutex> lock(gGateMutex);
    gGateOpen = true;
  }
  gGateCond.notify_all();
  // The second read without waking again: one wake-up for the batch.
  EXPECT_TRUE(WaitUntil([] { return GateRow() == "2 1 1 0"; })) << GateRow();
  Agent_StopAll();
}

// An agent that leaves its full pipe unread: the dispatcher waits for it,
// as it always did, and says so once it has waited five seconds.
TEST(Agents, AStalledAgentIsNamedAndCountedAndAnEndedOneToo) {
  Root root;
  LogCapture log(root);
  EnsureRegistry();
  Stats_Reset();
  FakeClock clock;
  gEntered = 0;
  gGateOpen = false;
  Agent_Start(StallCorrelator);
  std::string rec = Record("wisp.stall.fill", {Str(std::string(4000, 'g'))});
  std::string batch;
  while (batch.size() < 100000) batch += rec;  // more than the pipe holds
  std::thread dispatcher([&] { Dispatch(batch); });
  // The clock moves on while the dispatcher waits for room (it looks at
  // the clock twice a second), until it says so.
  const std::string stalled = "Agent stallCorrelator has left its stream unread for ";
  EXPECT_TRUE(WaitUntil([&] {
    clock.Advance(6);
    return log.Count(stalled) == 1;
  }));
  for (const std::string &m : log.Messages()) {
    if (m.find(stalled) != std::string::npos) {
      EXPECT_EQ(m.substr(m.size() - 25), " s; intake waits for it.\n");
    }
  }
  // Said once per stall: the dispatcher looks at the clock again, another
  // five seconds on, and says nothing more. A read counted after the step
  // (the count goes up before the clock is read) sees it.
  clock.Advance(6);
  int64_t reads = clock.SteadyReads();
  EXPECT_TRUE(WaitUntil([&] { return clock.SteadyReads() > reads; }));
  {
    std::lock_guard<std::mutex> lock(gGateMutex);
    gGateOpen = true;
  }
  gGateCond.notify_all();
  dispatcher.join();
  EXPECT_TRUE(log.WaitFor("Agent stallCorrelator reads its stream again after "));
  EXPECT_EQ(log.Count(stalled), 1u);
  EXPECT_NE(Stats_Render(0).find("wispd_agent_stalls_total 1\n"), std::string::npos);
  Agent_StopAll();

  // An agent that returns ends: counted, named, no longer running.
  Agent_Start(IdleEndingAgent);
  EXPECT_TRUE(log.WaitFor("Agent endingAgent ended; observations for it are no longer handled.\n"));
  std::string s = Stats_Render(0);
  EXPECT_NE(s.find("wispd_agents_ended_total 1\n"), std::string::npos) << s;
  EXPECT_NE(s.find("wispd_agent_running{agent=\"endingAgent\"} 0\n"), std::string::npos) << s;
  Agent_StopAll();
}

}  // namespace
