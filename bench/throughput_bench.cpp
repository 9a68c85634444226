// Observations per second from wisp-emit through the daemon to its
// correlators, each as a share of the described path without logic (the
// floor, floor.h), beside the bare pipe pattern: a writer thread writing the
// same records into a pipe and a reader that polls and reads header, then
// body. CPU per observation is the daemon's user plus system time, in all
// and by kind of thread, beside its collector's and its waits for room in
// the collector's queue. That queue holds COLLECTOR_QUEUE records, 512
// unless told ("host": the machine's own setting; collector_queue.h).
#include <benchmark/benchmark.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "agent_table.h"
#include "base/wispdTimer.h"
#include "cpu_split.h"
#include "daemon_fixture.h"
#include "drain.h"
#include "floor.h"
#include "table_rows.h"
#include "wispjson.h"

namespace {

constexpr int kBatch = 100;     // records per batch
constexpr int kRepeats = 2000;  // batches per run: 200000 observations

// Rates of the reference cases, measured first in the same run.
double gPipeRate = 0;
double gFloorRate = 0;
double gCollectedFloorRate = 0;  // the floor with the collected case's collector

tools::Json Observation(const std::string &group) {
  return {{"id", "wisp." + group + ".bench.fallback"},
          {"fmt", "uplink %s count %d"},
          {"args", {{{"s", "pnic0"}}, {{"i32", 1}}}}};
}

double Rate(double observations, double seconds) {
  return seconds > 0 ? observations / seconds : 0;
}

std::string RecordBytes() {
  std::string rec;
  std::string error;
  tools::RawRecordFromJson(Observation("net"), 1, &rec, &error);
  return rec;
}

void PipeBaseline(benchmark::State &state) {
  double seconds = 0;
  const std::string rec = RecordBytes();
  const long total = static_cast<long>(kBatch) * kRepeats;
  for (auto _ : state) {
    int p[2];
    if (pipe(p) != 0) state.SkipWithError("pipe");
    auto start = std::chrono::steady_clock::now();
    std::thread writer([&] {
      for (long i = 0; i < total; ++i)
        if (write(p[1], rec.data(), rec.size()) < 0) return;
    });
    std::vector<char> buf(rec.size());
    for (long i = 0; i < total; ++i) {
      struct pollfd pf = {p[0], POLLIN, 0};
      poll(&pf, 1, -1);
      size_t got = 0;
      while (got < 32) got += static_cast<size_t>(read(p[0], buf.data() + got, 32 - got));
      while (got < rec.size())
        got += static_cast<size_t>(read(p[0], buf.data() + got, rec.size() - got));
    }
    writer.join();
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(took.count());
    seconds += took.count();
    close(p[0]);
    close(p[1]);
  }
  gPipeRate = Rate(static_cast<double>(total) * static_cast<double>(state.iterations()), seconds);
  // A rate counter divides by the time of all iterations together.
  state.counters["obs_per_s"] =
      benchmark::Counter(static_cast<double>(total) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}

// Runs the floor once per iteration, its log records to logSocket (its own
// reader when empty); its rate, with the floor's counters set.
double RunFloor(benchmark::State &state, const std::string &logSocket = "") {
  const std::string rec = RecordBytes();
  double seconds = 0, cpu = 0;
  for (auto _ : state) {
    bench::FloorRun run = bench::DescribedFloor(rec, kBatch, kRepeats, logSocket);
    if (run.seconds <= 0) state.SkipWithError("floor");
    state.SetIterationTime(run.seconds);
    seconds += run.seconds;
    cpu += run.cpuSeconds;
  }
  double n = static_cast<double>(kBatch) * kRepeats * static_cast<double>(state.iterations());
  double rate = Rate(n, seconds);
  state.counters["obs_per_s"] = rate;
  if (!logSocket.empty() && gFloorRate > 0) state.counters["floor_pct"] = 100 * rate / gFloorRate;
  state.counters["cpu_us_per_obs"] = cpu * 1e6 / n;
  return rate;
}

void DescribedFloor(benchmark::State &state) {
  gFloorRate = RunFloor(state);
}

// The floor with the collected case's collector: a reader of a bound
// socket, whose queue holds collector_queue records (collector_queue.h).
// The floor's own reader above is the other end of a socket pair, whose
// queue the kernel does not limit that way: this is the floor the collected
// case compares with.
void FloorCollected(benchmark::State &state) {
  testing_support::Root root;
  bench::LogDrain drain(root.Under("/dev/log"));
  gCollectedFloorRate = RunFloor(state, root.Under("/dev/log"));
  state.counters["log_per_obs"] = static_cast<double>(drain.Records()) /
                                  (static_cast<double>(kBatch) * kRepeats * state.iterations());
  state.counters["collector_queue"] = drain.Queue();
}

// The floor with rsyslog as its collector: what rsyslog alone takes.
void FloorToRsyslog(benchmark::State &state) {
  testing_support::Root root;
  bench::Rsyslog rsyslog(root);
  RunFloor(state, root.Under("/dev/log"));
  state.counters["pipe_per_s"] = gPipeRate;
  state.counters["collector_queue"] = rsyslog.Queue();
}

enum Mix { NET_FALLBACK, ALL_GROUPS_FALLBACK, TABLE_ROWS };

// A sample of a counters snapshot as a number (seconds have a fraction);
// 0 when absent.
double Value(const std::string &snapshot, const std::string &sample) {
  std::istringstream in(snapshot);
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(sample + " ", 0) == 0) return strtod(line.c_str() + sample.size() + 1, nullptr);
  return 0;
}

// The daemon's CPU time over a run by kind of thread: the main thread, which
// reads the kernel contexts and fans out; the correlators' agents; the timer
// service; the rest (stats server, trace threads). A thread that ended during
// the run is not counted.
struct Split {
  double dispatch = 0, agents = 0, timer = 0, other = 0;
  double agentSleeps = 0;  // times the agents gave up the processor to wait
};

Split ByKind(int pid, const std::map<int, bench::ThreadCpu> &before,
             const std::map<int, bench::ThreadCpu> &after) {
  static const std::vector<std::string> names = testing_support::CorrelatorThreadNames();
  const std::set<std::string> agents(names.begin(), names.end());
  Split s;
  for (const auto &[tid, t] : after) {
    auto was = before.find(tid);
    const bench::ThreadCpu old = was != before.end() ? was->second : bench::ThreadCpu{};
    const double used = t.seconds - old.seconds;
    if (tid == pid) {
      s.dispatch += used;
    } else if (agents.count(t.name) != 0) {
      s.agents += used;
      s.agentSleeps += t.sleeps - old.sleeps;
    } else if (t.name == kTimerThreadName) {
      s.timer += used;
    } else {
      s.other += used;
    }
  }
  return s;
}

void ThroughDaemon(benchmark::State &state, Mix mix,
                   bench::Collector collector = bench::Collector::kNone) {
  const bool rows = mix == TABLE_ROWS;
  bench::Daemon daemon(rows, collector);
  tools::Json batch = tools::Json::array();
  std::vector<tools::Json> table = bench::TableMix();
  const std::vector<std::string> groups = testing_support::CorrelatorGroups();
  for (int i = 0; i < kBatch; ++i) {
    if (rows) {
      // Sampled evenly over every table, so each group keeps its share.
      batch.push_back(table[static_cast<size_t>(i) * table.size() / kBatch]);
    } else {
      batch.push_back(Observation(
          mix == ALL_GROUPS_FALLBACK ? groups[static_cast<size_t>(i) % groups.size()] : "net"));
    }
  }
  std::string input = daemon.root.Under("/batch.jsonl");
  std::ofstream(input) << tools::Json{{"batch", batch}, {"ctx", 0}}.dump() << "\n";
  const pid_t pid = daemon.wispd->Pid();
  double seconds = 0;
  const std::string countersBefore = testing_support::Snapshot(daemon.root);
  const bench::MachineTicks machineBefore = bench::ReadMachineTicks();
  const std::map<int, bench::ThreadCpu> threadsBefore = bench::ThreadsCpu(pid);
  const double collectorBefore = daemon.CollectorCpuSeconds();
  const double collectorSleepsBefore = daemon.CollectorSleeps();
  double cpuBefore = bench::ProcessCpuSeconds(pid);
  long logBefore = daemon.Collected();
  uint64_t sent = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    int status = testing_support::Run(testing_support::Bin("wisp-emit"),
                                      {"--repeat", std::to_string(kRepeats), input});
    sent += static_cast<uint64_t>(kBatch) * kRepeats;
    if (status != 0 || !bench::WaitDrained(daemon.root, sent)) state.SkipWithError("not drained");
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(took.count());
    seconds += took.count();
  }
  const double cpuAfter = bench::ProcessCpuSeconds(pid);
  const Split split = ByKind(pid, threadsBefore, bench::ThreadsCpu(pid));
  const double collectorAfter = daemon.CollectorCpuSeconds();
  const double collectorSleepsAfter = daemon.CollectorSleeps();
  const bench::MachineTicks machineAfter = bench::ReadMachineTicks();
  const std::string countersAfter = testing_support::Snapshot(daemon.root);
  double n = static_cast<double>(kBatch) * kRepeats * static_cast<double>(state.iterations());
  double rate = Rate(n, seconds);
  state.counters["obs_per_s"] = benchmark::Counter(n, benchmark::Counter::kIsRate);
  // The shares with the reference rates of this run beside them: a share
  // alone does not tell a slow machine from a slow daemon.
  if (gFloorRate > 0) state.counters["floor_pct"] = 100 * rate / gFloorRate;
  if (gPipeRate > 0) state.counters["pipe_pct"] = 100 * rate / gPipeRate;
  if (collector == bench::Collector::kDrain && gCollectedFloorRate > 0)
    state.counters["collected_floor_pct"] = 100 * rate / gCollectedFloorRate;
  state.counters["pipe_per_s"] = gPipeRate;
  state.counters["cpu_us_per_obs"] = (cpuAfter - cpuBefore) * 1e6 / n;
  state.counters["dispatch_us_per_obs"] = split.dispatch * 1e6 / n;
  state.counters["agents_us_per_obs"] = split.agents * 1e6 / n;
  state.counters["timer_us_per_obs"] = split.timer * 1e6 / n;
  state.counters["other_us_per_obs"] = split.other * 1e6 / n;
  state.counters["agent_sleeps_per_obs"] = split.agentSleeps / n;
  // Waits for room in the collector's queue, summed over the threads that
  // waited (several wait at once, so this may exceed the run's own time).
  auto grew = [&](const char *sample) {
    return Value(countersAfter, sample) - Value(countersBefore, sample);
  };
  state.counters["room_wait_us_per_obs"] = grew("wispd_log_room_wait_seconds_total") * 1e6 / n;
  state.counters["room_waits_per_obs"] = grew("wispd_log_room_waits_total") / n;
  // Turns ended by offering the CPU to another runnable thread.
  state.counters["cpu_offers_per_obs"] = grew("wispd_cpu_offers_total") / n;
  // The machine over the run, every core: idle, taken by the hypervisor, and
  // busy in all (the daemon, its collector, wisp-emit and whatever else ran).
  const double ticks = machineAfter.total - machineBefore.total;
  const double idle = machineAfter.idle - machineBefore.idle;
  const double steal = machineAfter.steal - machineBefore.steal;
  if (ticks > 0) {
    state.counters["idle_pct"] = 100 * idle / ticks;
    state.counters["steal_pct"] = 100 * steal / ticks;
    state.counters["machine_us_per_obs"] =
        (ticks - idle - steal) / static_cast<double>(sysconf(_SC_CLK_TCK)) * 1e6 / n;
  }
  // Log records the collector took per observation (one per known one, one
  // per flare the rate window drops), and those it did not take.
  if (collector != bench::Collector::kNone) {
    state.counters["collector_us_per_obs"] = (collectorAfter - collectorBefore) * 1e6 / n;
    state.counters["collector_sleeps_per_obs"] = (collectorSleepsAfter - collectorSleepsBefore) / n;
    state.counters["log_per_obs"] = static_cast<double>(daemon.Collected() - logBefore) / n;
    state.counters["collector_queue"] = daemon.CollectorQueue();
    state.counters["log_dropped"] = static_cast<double>(testing_support::Sample(
        testing_support::Snapshot(daemon.root), "wispd_log_records_dropped_total"));
  }
  state.counters["rss_kib"] = static_cast<double>(bench::ResidentKiB(daemon.wispd->Pid()));
}

void OneCorrelator(benchmark::State &state) {
  ThroughDaemon(state, NET_FALLBACK);
}
void AllCorrelators(benchmark::State &state) {
  ThroughDaemon(state, ALL_GROUPS_FALLBACK);
}
void TableRowMix(benchmark::State &state) {
  ThroughDaemon(state, TABLE_ROWS);
}
// The same with a syslog collector reading every log record.
void TableRowMixCollected(benchmark::State &state) {
  ThroughDaemon(state, TABLE_ROWS, bench::Collector::kDrain);
}
// The same with Debian's rsyslog as the host's collector.
void TableRowMixRsyslog(benchmark::State &state) {
  ThroughDaemon(state, TABLE_ROWS, bench::Collector::kRsyslog);
}

void IdleResident(benchmark::State &state) {
  bench::Daemon daemon(false);
  for (auto _ : state) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    state.SetIterationTime(0.2);
  }
  state.counters["rss_kib"] = static_cast<double>(bench::ResidentKiB(daemon.wispd->Pid()));
}

}  // namespace

// The reference cases first: the daemon's are read against them.
BENCHMARK(PipeBaseline)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(DescribedFloor)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(FloorCollected)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(OneCorrelator)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(AllCorrelators)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(TableRowMix)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(TableRowMixCollected)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(TableRowMixRsyslog)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(FloorToRsyslog)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(IdleResident)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
