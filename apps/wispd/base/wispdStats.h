// Counters of what the daemon read, dropped, posted and lost, kept apart
// from the behaviour they count: every call site is one Stats_ call.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

enum StatsCounter {
  STATS_RECORD_MALFORMED,
  STATS_BATCH_CUT_SHORT,
  STATS_BATCH_TOO_LARGE,
  STATS_FLARE_PROBLEM,
  STATS_FLARE_AUDIT,
  STATS_FLARE_CLEAR,
  STATS_FLARE_RATE_DROPPED,
  STATS_FLARE_QUEUED,
  STATS_FLARE_RETRY,
  STATS_FLARE_RESENT,
  STATS_FLARE_ABANDONED,
  STATS_TRACE_REFUSED,
  STATS_TRACE_DROPPED,
  STATS_COUNTERS
};

// Sources: kernel contexts 0..23, the user-level context 24.
constexpr int STATS_SOURCES = 25;

void Stats_Count(StatsCounter counter);
// The source the main thread reads next; Stats_CountRead counts one
// observation record of it.
void Stats_SetSource(int source);
void Stats_CountRead(void);
// A flare built for sending, counted by the kind its event id names.
void Stats_CountFlare(const char *eventId);

uint64_t Stats_Get(StatsCounter counter);
uint64_t Stats_GetRead(int source);
void Stats_Reset(void);

// One snapshot in the Prometheus text format, ending with the daemon's
// version (wispd_build_info); queued is the retry queue's current length.
std::string Stats_Render(size_t queued);
// The one-line summary logged when the daemon stops.
std::string Stats_Summary(size_t queued);
