// What a correlator pays for the log record of one observation it
// dispatches: LogWisp, which puts the line together from its parts, beside
// the same line through printf (Log with the line's shape), which is how
// it was written before. Both take the table mix's observations in turn,
// hold their records as a correlator's turn does and send them 32 at a
// time to a private root without a collector, so both pay the same sends.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "base/wispdLog.h"
#include "pellibs/zthread.h"
#include "sandbox.h"
#include "table_rows.h"
#include "wispjson.h"

namespace {

std::vector<Wisp *> MixWisps() {
  std::vector<Wisp *> wisps;
  for (const tools::Json &row : bench::TableMix()) {
    std::string rec, error;
    if (!tools::RawRecordFromJson(row, 1733400000000000u, &rec, &error)) continue;
    void *raw = malloc(rec.size());
    memcpy(raw, rec.data(), rec.size());
    Wisp *w = nullptr;
    Wisp_MakeWisp(raw, rec.size(), &w);
    if (w != nullptr) {
      wisps.push_back(w);
    } else {
      free(raw);
    }
  }
  return wisps;
}

void LogThroughPrintf(const Wisp *wisp) {
  uint64_t ts = 0;
  const char *id = nullptr;
  char *msg = nullptr;
  Wisp_GetTimestamp(wisp, &ts);
  Wisp_GetID(wisp, &id);
  Wisp_GetMsg(wisp, &msg, nullptr);
  Log(kLogLineShape, ZThreadBase_CurName(), ts, id, msg != nullptr ? msg : "");
  free(msg);
}

template <void (*kLog)(const Wisp *)>
void LogLine(benchmark::State &state) {
  testing_support::Root root;
  ZThreadBase_SetName("benchCorrelator");
  std::vector<Wisp *> wisps = MixWisps();
  if (wisps.empty()) return state.SkipWithError("no observations");
  size_t i = 0;
  Log_Hold();
  for (auto _ : state) {
    kLog(wisps[i]);
    if (++i == wisps.size()) i = 0;
  }
  Log_Release();
  state.counters["observations"] = static_cast<double>(wisps.size());
  for (Wisp *w : wisps) Wisp_Free(w);
}

void LogWispLine(benchmark::State &state) {
  LogLine<LogWisp>(state);
}

void PrintfLine(benchmark::State &state) {
  LogLine<LogThroughPrintf>(state);
}

}  // namespace

BENCHMARK(LogWispLine);
BENCHMARK(PrintfLine);
BENCHMARK_MAIN();
