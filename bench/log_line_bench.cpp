// What a correlator pays for the log line of one observation it
// dispatches, past reading the observation: the line put together from its
// parts (LogFlare, the same line as LogWisp's), beside the same line
// through printf (Log with the line's shape), which is how it was written
// before. Both take the table mix's observations in turn, hold their
// records as a correlator's turn does and send them 32 at a time to a
// private root without a collector, so both pay the same sends.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "base/wispdLog.h"
#include "pellibs/zthread.h"
#include "records.h"
#include "sandbox.h"
#include "table_rows.h"
#include "wispjson.h"

namespace {

// What a line shows of one observation.
struct Line {
  uint64_t timestamp;
  std::string id;
  std::string message;
};

std::vector<Line> MixLines() {
  std::vector<Line> lines;
  for (const tools::Json &row : bench::TableMix()) {
    std::string rec, error;
    if (!tools::RawRecordFromJson(row, 1733400000000000u, &rec, &error)) continue;
    Wisp *w = testing_support::MakeWisp(rec);
    if (w == nullptr) continue;
    Line line;
    const char *id = nullptr;
    char *msg = nullptr;
    Wisp_GetTimestamp(w, &line.timestamp);
    Wisp_GetID(w, &id);
    Wisp_GetMsg(w, &msg, nullptr);
    line.id = id;
    line.message = msg != nullptr ? msg : "";
    free(msg);
    Wisp_Free(w);
    lines.push_back(line);
  }
  return lines;
}

void ThroughPrintf(const Line &l) {
  Log(kLogLineShape, ZThreadBase_CurName(), l.timestamp, l.id.c_str(), l.message.c_str());
}

void PutTogether(const Line &l) {
  LogFlare(l.id.c_str(), l.message.c_str(), l.timestamp);
}

template <void (*kLog)(const Line &)>
void LogLine(benchmark::State &state) {
  testing_support::Root root;
  ZThreadBase_SetName("benchCorrelator");
  std::vector<Line> lines = MixLines();
  if (lines.empty()) return state.SkipWithError("no observations");
  size_t i = 0;
  Log_Hold();
  for (auto _ : state) {
    kLog(lines[i]);
    if (++i == lines.size()) i = 0;
  }
  Log_Release();
  state.counters["observations"] = static_cast<double>(lines.size());
}

void PutTogetherLine(benchmark::State &state) {
  LogLine<PutTogether>(state);
}

void PrintfLine(benchmark::State &state) {
  LogLine<ThroughPrintf>(state);
}

}  // namespace

BENCHMARK(PutTogetherLine);
BENCHMARK(PrintfLine);
BENCHMARK_MAIN();
