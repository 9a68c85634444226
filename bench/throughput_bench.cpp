// Observations per second from wisp-emit through the daemon to its
// correlators, beside the bare syscall pattern of the design: a writer
// thread writing the same records into a pipe and a reader that polls and
// reads header, then body.
#include <benchmark/benchmark.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "correlator_kit.h"
#include "daemon_fixture.h"
#include "drain.h"
#include "wispjson.h"

namespace {

constexpr int kBatch = 100;     // records per batch
constexpr int kRepeats = 2000;  // batches per run: 200000 observations

const char *const kGroups[] = {
    "net",    "scsi", "storage.apd", "iscsi", "cairn",    "user",    "hardware",
    "cpu",    "uw",   "swap",        "vm",    "external", "migrate", "pageretire",
    "stowfs", "vfat", "clock",       "sched", "vscsi",    "strata",  "hcm"};

tools::Json Observation(const std::string &group) {
  return {{"id", "wisp." + group + ".bench.fallback"},
          {"fmt", "uplink %s count %d"},
          {"args", {{{"s", "pnic0"}}, {{"i32", 1}}}}};
}

// Ids the correlators know, one per table row of every registered
// correlator in turn, so each group's share follows its table.
std::vector<tools::Json> TableMix() {
  std::vector<tools::Json> out;
  for (const CorrelatorDef *const *def = kCorrelatorDefs; *def != nullptr; ++def) {
    for (size_t r = 0; r < (*def)->rowCount; ++r) {
      const FlareRow &row = (*def)->rows[r];
      tools::Json args = tools::Json::array();
      for (const tools::Arg &a : testing_support::RowArguments(row))
        args.push_back(tools::Json::parse(tools::ArgToJson(a.type, a.bits, a.str.c_str()).dump()));
      out.push_back({{"id", row.wispId}, {"args", args}});
    }
  }
  return out;
}

std::string RecordBytes() {
  std::string rec;
  std::string error;
  tools::RawRecordFromJson(Observation("net"), 1, &rec, &error);
  return rec;
}

void PipeBaseline(benchmark::State &state) {
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
    close(p[0]);
    close(p[1]);
  }
  // A rate counter divides by the time of all iterations together.
  state.counters["obs_per_s"] =
      benchmark::Counter(static_cast<double>(total) * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate);
}

enum Mix { NET_FALLBACK, ALL_GROUPS_FALLBACK, TABLE_ROWS };

void ThroughDaemon(benchmark::State &state, Mix mix) {
  bench::Daemon daemon(mix == TABLE_ROWS);
  tools::Json batch = tools::Json::array();
  std::vector<tools::Json> rows = TableMix();
  for (int i = 0; i < kBatch; ++i) {
    if (mix == TABLE_ROWS) {
      // Sampled evenly over every table, so each group keeps its share.
      batch.push_back(rows[static_cast<size_t>(i) * rows.size() / kBatch]);
    } else {
      batch.push_back(Observation(mix == ALL_GROUPS_FALLBACK ? kGroups[i % 21] : "net"));
    }
  }
  std::string input = daemon.root.Under("/batch.jsonl");
  std::ofstream(input) << tools::Json{{"batch", batch}, {"ctx", 0}}.dump() << "\n";
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    int status = testing_support::Run(testing_support::Bin("wisp-emit"),
                                      {"--repeat", std::to_string(kRepeats), input});
    if (status != 0 || !bench::WaitDrained(daemon.wispd->Pid())) state.SkipWithError("not drained");
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(took.count());
  }
  state.counters["obs_per_s"] = benchmark::Counter(
      static_cast<double>(kBatch) * kRepeats * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
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

void IdleResident(benchmark::State &state) {
  bench::Daemon daemon(false);
  for (auto _ : state) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    state.SetIterationTime(0.2);
  }
  state.counters["rss_kib"] = static_cast<double>(bench::ResidentKiB(daemon.wispd->Pid()));
}

}  // namespace

BENCHMARK(PipeBaseline)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(OneCorrelator)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(AllCorrelators)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(TableRowMix)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(IdleResident)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
