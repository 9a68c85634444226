// Soak: observations spread over every group, ten million unless
// --observations says otherwise, with two trace clients reading along;
// resident memory before, after the first million and at the end.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include "agent_table.h"
#include "daemon_fixture.h"
#include "drain.h"
#include "simhost/sockets.h"
#include "wispjson.h"

namespace {

constexpr int kPerGroup = 5;       // records of each group in a batch
constexpr long kFirst = 1000000;   // the point memory is compared against
long gObservations = 10 * kFirst;  // --observations

// Reads a trace connection to the end; counts the bytes.
class TraceReader {
 public:
  explicit TraceReader(const std::string &path) : fd_(simhost::ConnectUnix(SOCK_STREAM, path)) {
    thread_ = std::thread([this] {
      char buf[65536];
      while (!stop_) {
        struct pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        ssize_t n = read(fd_, buf, sizeof buf);
        if (n <= 0) break;
        bytes_ += n;
      }
    });
  }
  ~TraceReader() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }
  long Bytes() const { return bytes_; }

 private:
  int fd_;
  std::atomic<bool> stop_{false};
  std::atomic<long> bytes_{0};
  std::thread thread_;
};

void Soak(benchmark::State &state) {
  bench::Daemon daemon(true);
  tools::Json batch = tools::Json::array();
  // The groups in turn, each with kPerGroup ids of its own.
  const std::vector<std::string> groups = testing_support::CorrelatorGroups();
  const long kBatch = kPerGroup * static_cast<long>(groups.size());
  for (int i = 0; i < kBatch; ++i) {
    const std::string &group = groups[static_cast<size_t>(i) % groups.size()];
    batch.push_back({{"id", "wisp." + group + ".soak.n" +
                                std::to_string(static_cast<size_t>(i) / groups.size())},
                     {"fmt", "soak %s %d"},
                     {"args", {{{"s", "arg-" + group}}, {{"i32", i}}}}});
  }
  std::string input = daemon.root.Under("/soak.jsonl");
  std::ofstream(input) << tools::Json{{"batch", batch}}.dump() << "\n";
  std::string trace = daemon.root.Under("/var/run/pelldan/wispd-trace.sock");
  TraceReader a(trace), b(trace);
  int64_t before = bench::ResidentKiB(daemon.wispd->Pid());
  std::vector<int64_t> after;
  double seconds = 0;
  long sent = 0;
  // A million at a time (wisp-emit runs under a one-minute limit).
  const long perChunk = kFirst / kBatch;
  long chunks = gObservations / kBatch;
  for (auto _ : state) {
    for (long left = chunks; left > 0; left -= perChunk) {
      long repeats = std::min(left, perChunk);
      auto start = std::chrono::steady_clock::now();
      int status = testing_support::Run(testing_support::Bin("wisp-emit"),
                                        {"--repeat", std::to_string(repeats), input});
      if (status != 0) state.SkipWithError("wisp-emit failed");
      sent += repeats * kBatch;
      if (!bench::WaitDrained(daemon.root, static_cast<uint64_t>(sent), 600000))
        state.SkipWithError("not drained");
      std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
      seconds += took.count();
      after.push_back(bench::ResidentKiB(daemon.wispd->Pid()));
    }
    state.SetIterationTime(seconds);
  }
  if (after.empty()) return state.SkipWithError("no observations");
  state.counters["observations"] = static_cast<double>(sent);
  state.counters["obs_per_s"] = static_cast<double>(sent) / seconds;
  state.counters["rss_before_kib"] = static_cast<double>(before);
  // Growth that stops after the first million is the allocator's, not a
  // leak: the end is read against it (within 10% is the aim).
  state.counters["rss_after_1m_kib"] = static_cast<double>(after.front());
  state.counters["rss_end_kib"] = static_cast<double>(after.back());
  state.counters["rss_max_kib"] =
      static_cast<double>(*std::max_element(after.begin(), after.end()));
  state.counters["rss_growth_pct"] = 100.0 * static_cast<double>(after.back() - after.front()) /
                                     static_cast<double>(after.front());
  state.counters["trace_a_mib"] = static_cast<double>(a.Bytes()) / (1 << 20);
  state.counters["trace_b_mib"] = static_cast<double>(b.Bytes()) / (1 << 20);
}

}  // namespace

int main(int argc, char **argv) {
  // Our own option first; the rest is Google Benchmark's.
  std::vector<char *> rest;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--observations") == 0 && i + 1 < argc) {
      gObservations = std::atol(argv[++i]);
    } else {
      rest.push_back(argv[i]);
    }
  }
  int n = static_cast<int>(rest.size());
  benchmark::Initialize(&n, rest.data());
  benchmark::RegisterBenchmark("Soak", Soak)
      ->Iterations(1)
      ->UseManualTime()
      ->Unit(benchmark::kMillisecond);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
