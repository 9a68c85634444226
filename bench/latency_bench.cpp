// Latency from an observation sent to a kernel context (the bytes wisp-emit
// sends) to hubd's JSON line for its flare: 1000 flares, one at a time,
// inside one rate window; alone, and with a background of 50,000 table-row
// observations a second on another context.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "sandbox.h"
#include "simhost/sockets.h"
#include "table_rows.h"
#include "wispjson.h"

namespace {

constexpr int kFlares = 1000;
constexpr int kBackgroundPerSecond = 50000;
constexpr int kBackgroundBatch = 100;  // one batch every 2 ms

// Sends batches of table-row observations that post no flare (the timed
// flares keep the rate window) at a steady rate until stopped.
class Background {
 public:
  explicit Background(const std::string &socketPath) {
    simhost::MakeUnixAddress(socketPath, &addr_);
    std::vector<tools::Json> rows = bench::RowsThatPostNothing();
    for (int i = 0; i < kBackgroundBatch; ++i) {
      std::string rec, error;
      tools::RawRecordFromJson(rows[static_cast<size_t>(i) * rows.size() / kBackgroundBatch],
                               tools::NowMicros(), &rec, &error);
      batch_ += rec;
    }
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
  // Observations sent per second of the run.
  double Rate() const {
    std::chrono::duration<double> took = end_ - start_;
    return took.count() > 0 ? static_cast<double>(sent_) / took.count() : 0;
  }

 private:
  void Run() {
    const auto period =
        std::chrono::microseconds(1000000 * kBackgroundBatch / kBackgroundPerSecond);
    start_ = std::chrono::steady_clock::now();
    auto next = start_;
    while (!stop_) {
      if (sendto(fd_, batch_.data(), batch_.size(), 0, reinterpret_cast<struct sockaddr *>(&addr_),
                 sizeof addr_) > 0)
        sent_ += kBackgroundBatch;
      next += period;
      std::this_thread::sleep_until(next);
    }
    end_ = std::chrono::steady_clock::now();
  }
  struct sockaddr_un addr_;
  std::string batch_;
  int fd_;
  long sent_ = 0;
  std::chrono::steady_clock::time_point start_, end_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

void ObservationToHubdLine(benchmark::State &state, bool loaded) {
  testing_support::Root root;
  int out[2];
  if (pipe(out) != 0) return state.SkipWithError("pipe");
  pid_t hubd = fork();
  if (hubd == 0) {
    dup2(out[1], 1);
    execl(testing_support::Bin("hubd").c_str(), "hubd", static_cast<char *>(nullptr));
    _exit(127);
  }
  close(out[1]);
  FILE *lines = fdopen(out[0], "r");
  testing_support::WaitUntil(
      [&] { return access(root.Under("/var/run/pelldan/hubd-flare.sock").c_str(), F_OK) == 0; });
  std::unique_ptr<testing_support::Process> wispd;
  {
    testing_support::LogCapture log(root);
    wispd = std::make_unique<testing_support::Process>(testing_support::Bin("wispd"),
                                                       std::vector<std::string>{});
    log.WaitFor("wispd setup completed", std::chrono::milliseconds(10000));
  }
  int sock = socket(AF_UNIX, SOCK_DGRAM, 0);
  struct sockaddr_un addr;
  simhost::MakeUnixAddress(root.Under("/var/run/pelldan/mantle/context-0"), &addr);
  std::unique_ptr<Background> background;
  if (loaded)
    background = std::make_unique<Background>(root.Under("/var/run/pelldan/mantle/context-1"));
  std::vector<double> micros;
  char line[4096];
  for (auto _ : state) {
    micros.clear();
    for (int i = 0; i < kFlares; ++i) {
      std::string rec;
      std::string error;
      tools::RawRecordFromJson({{"id", "wisp.storage.apd.start"},
                                {"args", {{{"s", "naa.latency." + std::to_string(i)}}}}},
                               tools::NowMicros(), &rec, &error);
      auto start = std::chrono::steady_clock::now();
      sendto(sock, rec.data(), rec.size(), 0, reinterpret_cast<struct sockaddr *>(&addr),
             sizeof addr);
      if (fgets(line, sizeof line, lines) == nullptr) return state.SkipWithError("hubd ended");
      micros.push_back(
          std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
              .count());
    }
  }
  if (background != nullptr) {
    background->Stop();
    state.counters["background_per_s"] = background->Rate();
  }
  std::sort(micros.begin(), micros.end());
  state.counters["p50_us"] = micros[micros.size() / 2];
  state.counters["p99_us"] = micros[micros.size() * 99 / 100];
  state.counters["max_us"] = micros.back();
  close(sock);
  kill(hubd, SIGTERM);
  waitpid(hubd, nullptr, 0);
  fclose(lines);
}

}  // namespace

BENCHMARK_CAPTURE(ObservationToHubdLine, alone, false)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ObservationToHubdLine, under_load, true)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
