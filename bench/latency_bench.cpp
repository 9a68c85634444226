// Latency from an observation sent to a kernel context (the bytes wisp-emit
// sends) to hubd's JSON line for its flare: 1000 flares, one at a time,
// inside one rate window; alone, and beside a background of table-row
// observations on another context at 10, 35 and 70 per cent of what the
// daemon can take of that background (measured first in the same run, in
// a burst, or LATENCY_CAPACITY observations a second; with LATENCY_PACED=1
// the highest steady pace of the same batches it keeps up with is measured
// beside the burst and reported). Each load runs in LATENCY_ROUNDS
// rounds (5), a fresh daemon each; each loaded case reports its pooled p99
// as a multiple of the pooled p99 alone, and the least and most that one
// round's p99s gave. FloorToHubdLine does the same with latency_floor in
// the daemon's place: the same processes and wake-ups with no logic, at
// shares of its own capacity (or LATENCY_FLOOR_CAPACITY). Beside each
// capacity: the CPU an observation cost in that run, in user space (the
// daemon's work) and in the kernel (pipes, wake-ups), for either. Beside
// each loaded case, while it ran: how busy the machine was, the CPUs the
// subject used (probes included; a burst shares its wake-ups among many
// records, a paced batch pays them alone), and how many of its threads
// waited for a CPU on average: the queue a woken thread joins.
//
// On a virtual machine the hypervisor may give a vCPU to others (steal) for
// milliseconds at a time, which stalls whatever was on it: a round, or a
// capacity's burst, taken while it took more than LATENCY_STEAL_LIMIT per
// cent (1) of the machine is taken again (see Quiet). Beside every case: the
// rounds taken again, and the steal of those kept, on average and in the
// round with most; LATENCY_ROUND_LOG=1 prints every round's p99 and steal on
// standard error.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <thread>

#include "correlator_kit.h"
#include "cpu_split.h"
#include "daemon_fixture.h"
#include "drain.h"
#include "floor.h"
#include "sandbox.h"
#include "simhost/sockets.h"
#include "table_rows.h"
#include "wispjson.h"

namespace {

constexpr int kProbes = 1000;  // one rate window's worth
constexpr int kBackgroundBatch = 100;
// A probe whose flare the rate window dropped never comes: given up after.
constexpr int kProbeWaitMs = 2000;

// The share of the machine's CPU time the hypervisor gave to others between
// two readings: a stolen vCPU stalls whatever was on it, daemon or floor
// alike.
double StealPct(const bench::MachineTicks &before, const bench::MachineTicks &after) {
  double ticks = after.total - before.total;
  return ticks > 0 ? 100 * (after.steal - before.steal) / ticks : 0;
}

// LATENCY_STEAL_LIMIT, per cent of the machine's CPU time (1).
double StealLimit() {
  static const double limit = [] {
    const char *given = getenv("LATENCY_STEAL_LIMIT");
    return given != nullptr ? atof(given) : 1.0;
  }();
  return limit;
}

// A measurement taken while the hypervisor took more than the limit
// measures the host, not the subject: it is taken again, up to six times in
// all, and the quietest kept. `retakes` counts the measurements taken again.
template <typename Take>
auto Quiet(Take take, int *retakes) -> decltype(take()) {
  auto kept = take();
  for (int tries = 1; tries < 6 && kept.stealPct > StealLimit(); ++tries) {
    ++*retakes;
    auto again = take();
    if (again.stealPct < kept.stealPct) kept = std::move(again);
  }
  return kept;
}

// A batch of table-row observations that post no flare (the probes keep
// the rate window).
std::string BackgroundBatch() {
  std::string batch;
  std::vector<tools::Json> rows = bench::RowsThatPostNothing();
  for (int i = 0; i < kBackgroundBatch; ++i) {
    std::string rec, error;
    tools::RawRecordFromJson(rows[static_cast<size_t>(i) * rows.size() / kBackgroundBatch],
                             tools::NowMicros(), &rec, &error);
    batch += rec;
  }
  return batch;
}

// What serves the probes: the daemon, or the floor.
enum Subject { kDaemon, kFloor };

// Records the floor's agents took, from the counter it keeps in the root.
uint64_t FloorTaken(const testing_support::Root &root) {
  uint64_t taken = 0;
  std::ifstream in(root.Under("/floor-taken"), std::ios::binary);
  in.read(reinterpret_cast<char *>(&taken), sizeof taken);
  return in ? taken : 0;
}

// Starts the floor, each id with the agent of the correlator that takes it
// in the daemon, so that a batch wakes as many agents; returns once a
// context takes sends.
std::unique_ptr<testing_support::Process> StartFloor(const testing_support::Root &root) {
  std::ofstream map(root.Under("/floor-agents"));
  int index = 0;
  for (const CorrelatorDef *const *def = kCorrelatorDefs; *def != nullptr; ++def, ++index) {
    for (size_t r = 0; r < (*def)->rowCount; ++r)
      map << (*def)->rows[r].wispId << " " << index << "\n";
    for (size_t h = 0; h < (*def)->handlerCount; ++h)
      map << (*def)->handlers[h].wispId << " " << index << "\n";
  }
  map.close();
  auto floor = std::make_unique<testing_support::Process>(testing_support::Bin("latency_floor"),
                                                          std::vector<std::string>{});
  testing_support::WaitUntil([&] {
    int fd = simhost::ConnectUnix(SOCK_DGRAM, root.Under("/var/run/pelldan/mantle/context-23"));
    if (fd >= 0) close(fd);
    return fd >= 0;
  });
  return floor;
}

bool FloorDrained(const testing_support::Root &root, uint64_t records) {
  return testing_support::WaitUntil([&] { return FloorTaken(root) >= records; },
                                    std::chrono::milliseconds(60000));
}

// Sends background batches at a steady rate until stopped.
class Background {
 public:
  Background(const std::string &socketPath, double perSecond)
      : batch_(BackgroundBatch()),
        period_(std::chrono::duration<double>(kBackgroundBatch / perSecond)) {
    simhost::MakeUnixAddress(socketPath, &addr_);
    fd_ = socket(AF_UNIX, SOCK_DGRAM, 0);
    thread_ = std::thread([this] { Run(); });
  }
  ~Background() {
    Stop();
    close(fd_);
  }
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  long Sent() const { return sent_; }
  // Observations sent per second of the run.
  double Rate() const {
    std::chrono::duration<double> took = end_ - start_;
    return took.count() > 0 ? static_cast<double>(sent_) / took.count() : 0;
  }

 private:
  void Run() {
    start_ = std::chrono::steady_clock::now();
    auto next = start_;
    while (!stop_) {
      if (sendto(fd_, batch_.data(), batch_.size(), 0, reinterpret_cast<struct sockaddr *>(&addr_),
                 sizeof addr_) > 0)
        sent_ += kBackgroundBatch;
      next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(period_);
      std::this_thread::sleep_until(next);
    }
    end_ = std::chrono::steady_clock::now();
  }
  struct sockaddr_un addr_;
  std::string batch_;
  std::chrono::duration<double> period_;
  int fd_;
  long sent_ = 0;
  std::chrono::steady_clock::time_point start_, end_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// What one daemon (or floor) takes of the background, sent as fast as its
// context accepts it: observations a second (0 if it never drained), and
// the CPU each observation cost it, in its own code and in the kernel's.
struct Taken {
  double perSecond = 0;
  double userUs = 0, systemUs = 0;
  // The highest steady pace of the same batches it kept up with (0 if not
  // measured): the loads are paced, and a burst shares each wake-up among
  // many batches.
  double pacedPerSecond = 0;
  double stealPct = 0;
};

// Halves the range [0, burst] seven times (to 1% of the burst's rate), a
// step of 400 ms at each pace: kept up when the sender, which waits while
// the context's queue is full, reached 98% of the pace asked, and the
// subject then drained all it was sent.
template <typename Drained>
double PacedCapacity(const std::string &context, double burst, uint64_t sent, Drained drained) {
  double kept = 0, missed = burst;
  for (int step = 0; step < 7; ++step) {
    double rate = (kept + missed) / 2;
    Background paced(context, rate);
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    paced.Stop();
    sent += static_cast<uint64_t>(paced.Sent());
    if (!drained(sent)) return 0;  // never caught up: nothing to go by
    (paced.Rate() >= 0.98 * rate ? kept : missed) = rate;
  }
  return kept;
}

Taken OneCapacity(Subject subject) {
  std::unique_ptr<bench::Daemon> daemon;
  std::unique_ptr<testing_support::Root> floorRoot;
  std::unique_ptr<testing_support::Process> floor;
  if (subject == kDaemon) {
    daemon = std::make_unique<bench::Daemon>(true);
  } else {
    floorRoot = std::make_unique<testing_support::Root>();
    floor = StartFloor(*floorRoot);
  }
  const testing_support::Root &root = subject == kDaemon ? daemon->root : *floorRoot;
  const std::string stat =
      "/proc/" + std::to_string(subject == kDaemon ? daemon->wispd->Pid() : floor->Pid()) + "/stat";
  std::string batch = BackgroundBatch();
  int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  struct sockaddr_un addr;
  simhost::MakeUnixAddress(root.Under("/var/run/pelldan/mantle/context-1"), &addr);
  constexpr int kBatches = 2000;
  bench::CpuSplit before = bench::StatCpuSplit(stat);
  bench::MachineTicks machineBefore = bench::ReadMachineTicks();
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kBatches; ++i)
    sendto(fd, batch.data(), batch.size(), 0, reinterpret_cast<struct sockaddr *>(&addr),
           sizeof addr);
  close(fd);
  uint64_t all = uint64_t{kBatches} * kBackgroundBatch;
  Taken taken;
  auto drained = [&](uint64_t records) {
    return subject == kDaemon ? bench::WaitDrained(root, records) : FloorDrained(root, records);
  };
  if (!drained(all)) return taken;
  std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  bench::CpuSplit after = bench::StatCpuSplit(stat);
  taken.stealPct = StealPct(machineBefore, bench::ReadMachineTicks());
  taken.perSecond = static_cast<double>(all) / took.count();
  taken.userUs = (after.user - before.user) * 1e6 / static_cast<double>(all);
  taken.systemUs = (after.system - before.system) * 1e6 / static_cast<double>(all);
  if (getenv("LATENCY_PACED") != nullptr)
    taken.pacedPerSecond = PacedCapacity(root.Under("/var/run/pelldan/mantle/context-1"),
                                         taken.perSecond, all, drained);
  return taken;
}

// The bursts taken again for each subject's capacity.
std::map<Subject, int> capacityRetakes;

// The median of three daemons' capacity, with that run's CPU (or
// LATENCY_CAPACITY, without it; the floor's, LATENCY_FLOOR_CAPACITY): one
// measurement moved by a third between runs on a quiet machine.
const Taken &Capacity(Subject subject) {
  static std::map<Subject, Taken> known;
  auto found = known.find(subject);
  if (found != known.end()) return found->second;
  Taken capacity;
  if (const char *given =
          getenv(subject == kDaemon ? "LATENCY_CAPACITY" : "LATENCY_FLOOR_CAPACITY")) {
    capacity.perSecond = atof(given);
  } else {
    auto one = [subject] { return OneCapacity(subject); };
    Taken three[] = {Quiet(one, &capacityRetakes[subject]), Quiet(one, &capacityRetakes[subject]),
                     Quiet(one, &capacityRetakes[subject])};
    std::sort(std::begin(three), std::end(three),
              [](const Taken &a, const Taken &b) { return a.perSecond < b.perSecond; });
    capacity = three[1];
    std::sort(std::begin(three), std::end(three),
              [](const Taken &a, const Taken &b) { return a.pacedPerSecond < b.pacedPerSecond; });
    capacity.pacedPerSecond = three[1].pacedPerSecond;
  }
  return known[subject] = capacity;
}

// hubd's lines, one at a time, each waited for at most timeoutMs.
class Lines {
 public:
  explicit Lines(int fd) : fd_(fd) {}
  bool Next(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      size_t nl = buf_.find('\n');
      if (nl != std::string::npos) {
        buf_.erase(0, nl + 1);
        return true;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      struct pollfd p = {fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      char chunk[4096];
      ssize_t n = read(fd_, chunk, sizeof chunk);
      if (n <= 0) return false;
      buf_.append(chunk, static_cast<size_t>(n));
    }
  }

 private:
  int fd_;
  std::string buf_;
};

// One daemon's 1000 probes at one load.
struct Sample {
  std::vector<double> micros;
  int lost = 0;
  double backgroundPerS = 0;
  // While the background ran, a second: the subject's CPU seconds, and
  // the seconds its threads waited runnable; the machine's busy share.
  double subjectCpus = 0;
  double subjectQueued = 0;
  double machineBusyPct = 0;
  double stealPct = 0;
  bool ok = true;
};

Sample Probe(Subject subject, int loadPct) {
  Sample out;
  testing_support::Root root;
  int pipeFds[2];
  // Only hubd's standard output holds the write end; no child keeps the read end.
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    out.ok = false;
    return out;
  }
  pid_t hubd = fork();
  if (hubd == 0) {
    dup2(pipeFds[1], 1);
    execl(testing_support::Bin("hubd").c_str(), "hubd", static_cast<char *>(nullptr));
    _exit(127);
  }
  close(pipeFds[1]);
  Lines lines(pipeFds[0]);
  testing_support::WaitUntil(
      [&] { return access(root.Under("/var/run/pelldan/hubd-flare.sock").c_str(), F_OK) == 0; });
  std::unique_ptr<testing_support::Process> wispd;
  if (subject == kFloor) {
    wispd = StartFloor(root);
  } else {
    testing_support::LogCapture log(root);
    wispd = std::make_unique<testing_support::Process>(testing_support::Bin("wispd"),
                                                       std::vector<std::string>{});
    log.WaitFor("wispd setup completed", std::chrono::milliseconds(10000));
  }
  int sock = socket(AF_UNIX, SOCK_DGRAM, 0);
  struct sockaddr_un addr;
  simhost::MakeUnixAddress(root.Under("/var/run/pelldan/mantle/context-0"), &addr);
  std::unique_ptr<Background> background;
  bench::SchedNs schedBefore = bench::ProcessSchedNs(wispd->Pid());
  bench::MachineTicks machineBefore = bench::ReadMachineTicks();
  auto loadStart = std::chrono::steady_clock::now();
  // Without a capacity the loaded cases are skipped; their rounds run bare.
  if (loadPct > 0 && Capacity(subject).perSecond > 0)
    background = std::make_unique<Background>(root.Under("/var/run/pelldan/mantle/context-1"),
                                              Capacity(subject).perSecond * loadPct / 100);
  for (int i = 0; i < kProbes; ++i) {
    std::string rec;
    std::string error;
    tools::RawRecordFromJson(
        {{"id", "wisp.storage.apd.start"}, {"args", {{{"s", "naa.latency." + std::to_string(i)}}}}},
        tools::NowMicros(), &rec, &error);
    auto start = std::chrono::steady_clock::now();
    sendto(sock, rec.data(), rec.size(), 0, reinterpret_cast<struct sockaddr *>(&addr),
           sizeof addr);
    if (!lines.Next(kProbeWaitMs)) {
      ++out.lost;
      continue;
    }
    out.micros.push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
            .count());
  }
  bench::MachineTicks machineAfter = bench::ReadMachineTicks();
  out.stealPct = StealPct(machineBefore, machineAfter);
  if (background != nullptr) {
    background->Stop();
    out.backgroundPerS = background->Rate();
    bench::SchedNs schedAfter = bench::ProcessSchedNs(wispd->Pid());
    double ticks = machineAfter.total - machineBefore.total;
    std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - loadStart;
    if (took.count() > 0) {
      out.subjectCpus = (schedAfter.onCpu - schedBefore.onCpu) / took.count();
      out.subjectQueued = (schedAfter.waiting - schedBefore.waiting) / took.count();
    }
    if (ticks > 0)
      out.machineBusyPct = 100 * (1 - (machineAfter.idle - machineBefore.idle) / ticks);
  }
  close(sock);
  // Unread lines must not hold hubd in a write.
  close(pipeFds[0]);
  kill(hubd, SIGTERM);
  waitpid(hubd, nullptr, 0);
  return out;
}

double P99(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() * 99 / 100];
}

constexpr int kLoads[] = {0, 10, 35, 70};

// Every load's probes, round after round: a fresh daemon for each load in
// each round, the loads taken in turn, so that what the machine does
// meanwhile falls on all of them alike. A p99 of one daemon's 1000 probes
// is its tenth-slowest and moved by a single stall; the pooled one is not.
// The floor's rounds interleave with the daemon's in the same way.
using Rounds = std::map<std::pair<Subject, int>, std::vector<Sample>>;
std::map<std::pair<Subject, int>, int> roundRetakes;

const Rounds &AllRounds() {
  static Rounds rounds = [] {
    Rounds byLoad;
    int count = 5;
    if (const char *given = getenv("LATENCY_ROUNDS")) count = std::max(1, atoi(given));
    for (int i = 0; i < count; ++i)
      for (int load : kLoads)
        for (Subject subject : {kDaemon, kFloor}) {
          auto take = [&] {
            Sample done = Probe(subject, load);
            if (getenv("LATENCY_ROUND_LOG") != nullptr)
              fprintf(stderr, "round %d %s load %d%%: p99 %.0f us, steal %.1f%%\n", i + 1,
                      subject == kDaemon ? "daemon" : "floor", load, P99(done.micros),
                      done.stealPct);
            return done;
          };
          byLoad[{subject, load}].push_back(Quiet(take, &roundRetakes[{subject, load}]));
        }
    return byLoad;
  }();
  return rounds;
}

void ToHubdLine(benchmark::State &state, Subject subject, int loadPct) {
  if (loadPct > 0 && Capacity(subject).perSecond <= 0)
    return state.SkipWithError("capacity unknown");
  const Rounds *rounds = nullptr;
  for (auto _ : state) rounds = &AllRounds();
  const std::vector<Sample> &mine = rounds->at({subject, loadPct});
  const std::vector<Sample> &alone = rounds->at({subject, 0});
  std::vector<double> all, allAlone, roundRatios;
  int lost = 0;
  double background = 0, subjectCpus = 0, subjectQueued = 0, busyPct = 0, steal = 0, stealMost = 0;
  int stolen = 0;
  for (size_t i = 0; i < mine.size(); ++i) {
    if (!mine[i].ok) return state.SkipWithError("pipe");
    all.insert(all.end(), mine[i].micros.begin(), mine[i].micros.end());
    allAlone.insert(allAlone.end(), alone[i].micros.begin(), alone[i].micros.end());
    lost += mine[i].lost;
    background += mine[i].backgroundPerS / static_cast<double>(mine.size());
    subjectCpus += mine[i].subjectCpus / static_cast<double>(mine.size());
    subjectQueued += mine[i].subjectQueued / static_cast<double>(mine.size());
    busyPct += mine[i].machineBusyPct / static_cast<double>(mine.size());
    steal += mine[i].stealPct / static_cast<double>(mine.size());
    stealMost = std::max(stealMost, mine[i].stealPct);
    if (mine[i].stealPct > StealLimit()) ++stolen;
    // The ratio one round alone would give, for the spread.
    double roundAlone = P99(alone[i].micros);
    if (roundAlone > 0) roundRatios.push_back(P99(mine[i].micros) / roundAlone);
  }
  state.counters["rounds"] = static_cast<double>(mine.size());
  state.counters["lost"] = lost;
  state.counters["steal_pct"] = steal;
  state.counters["round_steal_max_pct"] = stealMost;
  state.counters["rounds_retaken"] = roundRetakes[{subject, loadPct}];
  // Kept though over the limit, after six tries: that many rounds measured
  // the host as well.
  state.counters["rounds_over_steal_limit"] = stolen;
  if (loadPct > 0) {
    const Taken &capacity = Capacity(subject);
    state.counters["capacity_per_s"] = capacity.perSecond;
    state.counters["capacity_retaken"] = capacityRetakes[subject];
    state.counters["background_per_s"] = background;
    // Below the load asked, the daemon (or the machine) did not keep up
    // with the background: the case measured a saturated daemon, not that
    // load.
    state.counters["background_pct"] = 100 * background / capacity.perSecond;
    if (capacity.pacedPerSecond > 0) {
      state.counters["paced_capacity_per_s"] = capacity.pacedPerSecond;
      state.counters["paced_pct"] = 100 * background / capacity.pacedPerSecond;
    }
    state.counters["subject_cpus"] = subjectCpus;
    state.counters["subject_queued"] = subjectQueued;
    state.counters["machine_busy_pct"] = busyPct;
    // Measured only with the capacity: what a burst costs, beside its tail.
    if (capacity.userUs + capacity.systemUs > 0) {
      state.counters["user_us_per_obs"] = capacity.userUs;
      state.counters["system_us_per_obs"] = capacity.systemUs;
    }
  }
  if (all.empty()) return;
  std::sort(all.begin(), all.end());
  double p99 = P99(all);
  state.counters["p50_us"] = all[all.size() / 2];
  state.counters["p99_us"] = p99;
  state.counters["max_us"] = all.back();
  double aloneP99 = P99(allAlone);
  if (loadPct > 0 && aloneP99 > 0) {
    state.counters["p99_vs_alone"] = p99 / aloneP99;
    auto [least, most] = std::minmax_element(roundRatios.begin(), roundRatios.end());
    if (least != roundRatios.end()) {
      state.counters["round_ratio_min"] = *least;
      state.counters["round_ratio_max"] = *most;
    }
  }
}

void ObservationToHubdLine(benchmark::State &state, int loadPct) {
  ToHubdLine(state, kDaemon, loadPct);
}

void FloorToHubdLine(benchmark::State &state, int loadPct) {
  ToHubdLine(state, kFloor, loadPct);
}

}  // namespace

#define LATENCY_LOADS(name)                                                              \
  BENCHMARK_CAPTURE(name, alone, 0)->Iterations(1)->Unit(benchmark::kMillisecond);       \
  BENCHMARK_CAPTURE(name, load_10pct, 10)->Iterations(1)->Unit(benchmark::kMillisecond); \
  BENCHMARK_CAPTURE(name, load_35pct, 35)->Iterations(1)->Unit(benchmark::kMillisecond); \
  BENCHMARK_CAPTURE(name, load_70pct, 70)->Iterations(1)->Unit(benchmark::kMillisecond)

LATENCY_LOADS(ObservationToHubdLine);
LATENCY_LOADS(FloorToHubdLine);
BENCHMARK_MAIN();
