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
  STATS_BATCH_READ,
  STATS_FLARE_SENT,
  STATS_PRODUCER_REFUSED,
  STATS_ALLOC_FAILED,
  STATS_FLARE_LOST,
  STATS_BATCH_UNREADABLE,
  STATS_AGENT_ENDED,
  STATS_AGENT_STALL,
  STATS_CPU_OFFERED,
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
// User-level producers connected now.
void Stats_SetProducers(int count);

// Agents, by slot: what each has taken and whether it waits for more, so
// that an outside observer can tell when the daemon is done with its input.
enum { STATS_AGENTS_MAX = 64 };
// A slot for a new agent (the name is copied); -1 when none is left.
int Stats_AgentAdd(const char *name);
// A descriptor whose unread bytes are the agent's backlog (its pipe, its
// wake-ups); kept until the agent ends.
void Stats_AgentWatch(int slot, int fd);
void Stats_AgentTook(int slot);
// Bytes the agent has read but not yet taken as records: backlog too.
void Stats_AgentHeld(int slot, uint64_t bytes);
void Stats_AgentWaiting(int slot, bool waiting);
// Forgets the agent's descriptors before they close; the slot stays listed.
void Stats_AgentEnded(int slot);

uint64_t Stats_Get(StatsCounter counter);
uint64_t Stats_GetRead(int source);
void Stats_Reset(void);

// One snapshot in the Prometheus text format, ending with the daemon's
// version (wispd_build_info); queued is the retry queue's current length.
std::string Stats_Render(size_t queued);
// The one-line summary logged when the daemon stops, cut to size.
void Stats_Summary(size_t queued, char *out, size_t size);
