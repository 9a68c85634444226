#include "base/wispdStats.h"

#include <string.h>

#include <atomic>

#include "pelldan/version.h"

namespace {

std::atomic<uint64_t> gCounters[STATS_COUNTERS];
std::atomic<uint64_t> gRead[STATS_SOURCES];
// Written and read by the main thread only.
int gSource = 0;

struct Metric {
  const char *name;
  const char *help;
  const char *label;  // "key=\"value\"" or nullptr
  StatsCounter counter;
};

// Rows of one metric stay together: HELP and TYPE go before the first.
const Metric kMetrics[] = {
    {"wispd_records_dropped_total", "Observation records dropped, by reason.",
     "reason=\"malformed\"", STATS_RECORD_MALFORMED},
    {"wispd_batches_cut_short_total",
     "Batches whose rest was dropped at a record with an impossible length.", nullptr,
     STATS_BATCH_CUT_SHORT},
    {"wispd_batches_too_large_total", "Kernel batches too large to read; the context was reset.",
     nullptr, STATS_BATCH_TOO_LARGE},
    {"wispd_flares_posted_total", "Flares built for sending, by kind.", "kind=\"problem\"",
     STATS_FLARE_PROBLEM},
    {"wispd_flares_posted_total", nullptr, "kind=\"audit\"", STATS_FLARE_AUDIT},
    {"wispd_flares_posted_total", nullptr, "kind=\"clear\"", STATS_FLARE_CLEAR},
    {"wispd_flares_rate_dropped_total", "Flares dropped by the rate window.", nullptr,
     STATS_FLARE_RATE_DROPPED},
    {"wispd_flares_queued_total", "Flares that joined the retry queue.", nullptr,
     STATS_FLARE_QUEUED},
    {"wispd_flare_retries_total", "Send attempts from the retry queue.", nullptr,
     STATS_FLARE_RETRY},
    {"wispd_flares_resent_total", "Queued flares delivered by a retry.", nullptr,
     STATS_FLARE_RESENT},
    {"wispd_flares_abandoned_total", "Queued flares given up after the last retry.", nullptr,
     STATS_FLARE_ABANDONED},
    {"wispd_trace_clients_refused_total", "Trace clients refused because the table was full.",
     nullptr, STATS_TRACE_REFUSED},
    {"wispd_trace_clients_dropped_total", "Trace clients disconnected for not reading.", nullptr,
     STATS_TRACE_DROPPED},
};

void Row(std::string *out, const char *name, const char *label, uint64_t value) {
  *out += name;
  if (label != nullptr) {
    *out += '{';
    *out += label;
    *out += '}';
  }
  *out += ' ';
  *out += std::to_string(value);
  *out += '\n';
}

void Head(std::string *out, const char *name, const char *help, const char *type) {
  *out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

uint64_t TotalRead() {
  uint64_t total = 0;
  for (const auto &r : gRead) total += r.load(std::memory_order_relaxed);
  return total;
}

}  // namespace

void Stats_Count(StatsCounter counter) {
  gCounters[counter].fetch_add(1, std::memory_order_relaxed);
}

void Stats_SetSource(int source) {
  gSource = source >= 0 && source < STATS_SOURCES ? source : STATS_SOURCES - 1;
}

void Stats_CountRead(void) {
  gRead[gSource].fetch_add(1, std::memory_order_relaxed);
}

void Stats_CountFlare(const char *eventId) {
  if (strncmp(eventId, "tarn.problem.", 13) == 0) Stats_Count(STATS_FLARE_PROBLEM);
  if (strncmp(eventId, "tarn.audit.", 11) == 0) Stats_Count(STATS_FLARE_AUDIT);
  if (strncmp(eventId, "tarn.clear.", 11) == 0) Stats_Count(STATS_FLARE_CLEAR);
}

uint64_t Stats_Get(StatsCounter counter) {
  return gCounters[counter].load(std::memory_order_relaxed);
}

uint64_t Stats_GetRead(int source) {
  return gRead[source].load(std::memory_order_relaxed);
}

void Stats_Reset(void) {
  for (auto &c : gCounters) c.store(0);
  for (auto &r : gRead) r.store(0);
  gSource = 0;
}

std::string Stats_Render(size_t queued) {
  std::string out;
  Head(&out, "wispd_observations_read_total", "Observation records read, by source.", "counter");
  for (int s = 0; s < STATS_SOURCES; ++s) {
    std::string label = "source=\"" + (s == STATS_SOURCES - 1 ? "user" : std::to_string(s)) + "\"";
    Row(&out, "wispd_observations_read_total", label.c_str(), Stats_GetRead(s));
  }
  for (const Metric &m : kMetrics) {
    if (m.help != nullptr) Head(&out, m.name, m.help, "counter");
    Row(&out, m.name, m.label, Stats_Get(m.counter));
  }
  Head(&out, "wispd_flare_queue_length", "Flares waiting in the retry queue.", "gauge");
  Row(&out, "wispd_flare_queue_length", nullptr, queued);
  // The daemon's own version, so that an exporter of another build reports it.
  Head(&out, "wispd_build_info", "The version of the daemon serving these counters.", "gauge");
  Row(&out, "wispd_build_info", "version=\"" WISPD_VERSION "\"", 1);
  return out;
}

std::string Stats_Summary(size_t queued) {
  auto n = [](StatsCounter c) { return std::to_string(Stats_Get(c)); };
  uint64_t posted =
      Stats_Get(STATS_FLARE_PROBLEM) + Stats_Get(STATS_FLARE_AUDIT) + Stats_Get(STATS_FLARE_CLEAR);
  return "Counters at exit: observations read " + std::to_string(TotalRead()) +
         ", malformed records " + n(STATS_RECORD_MALFORMED) + ", batches cut short " +
         n(STATS_BATCH_CUT_SHORT) + ", batches too large " + n(STATS_BATCH_TOO_LARGE) +
         ", flares posted " + std::to_string(posted) + " (problem " + n(STATS_FLARE_PROBLEM) +
         ", audit " + n(STATS_FLARE_AUDIT) + ", clear " + n(STATS_FLARE_CLEAR) +
         "), dropped by the rate window " + n(STATS_FLARE_RATE_DROPPED) + ", queued " +
         n(STATS_FLARE_QUEUED) + ", retries " + n(STATS_FLARE_RETRY) + ", resent " +
         n(STATS_FLARE_RESENT) + ", abandoned " + n(STATS_FLARE_ABANDONED) +
         ", lost with the queue " + std::to_string(queued) + ", trace clients refused " +
         n(STATS_TRACE_REFUSED) + ", dropped " + n(STATS_TRACE_DROPPED) + "\n";
}
