// Latency from an observation sent to a kernel context (the bytes wisp-emit
// sends) to hubd's JSON line for its flare: 1000 flares, one at a time,
// inside one rate window.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "sandbox.h"
#include "simhost/sockets.h"
#include "wispjson.h"

namespace {

constexpr int kFlares = 1000;

void ObservationToHubdLine(benchmark::State &state) {
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

BENCHMARK(ObservationToHubdLine)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
