#include "base/wispdStats.h"

#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>

#include <atomic>
#include <vector>

#include "base/wispdLock.h"
#include "pelldan/syslog.h"
#include "pelldan/version.h"

namespace {

std::atomic<uint64_t> gCounters[STATS_COUNTERS];
std::atomic<uint64_t> gRead[STATS_SOURCES];
// Written and read by the main thread only.
int gSource = 0;
std::atomic<int> gProducers{0};

enum { kWatchMax = 4 };

struct AgentSlot {
  char name[48];
  std::atomic<uint64_t> took;
  std::atomic<uint64_t> wakeups;  // returns from its wait
  std::atomic<uint64_t> held;
  std::atomic<int> waiting;
  std::atomic<int> running;
  int watched[kWatchMax];  // under gAgentLock: closed only after Stats_AgentEnded
};

pthread_mutex_t gAgentLock = PTHREAD_MUTEX_INITIALIZER;
AgentSlot gAgents[STATS_AGENTS_MAX];
std::atomic<int> gAgentCount{0};

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
    {"wispd_batches_read_total", "Batches read from every source, counted once handed out.",
     nullptr, STATS_BATCH_READ},
    {"wispd_flares_sent_total", "Flares hubd took at the first attempt.", nullptr,
     STATS_FLARE_SENT},
    {"wispd_producers_refused_total",
     "User-level producers closed at once because every connection was taken.", nullptr,
     STATS_PRODUCER_REFUSED},
    {"wispd_batches_unreadable_total",
     "Batches a source offered that could not be read (too long for any batch, say).", nullptr,
     STATS_BATCH_UNREADABLE},
    {"wispd_allocation_failures_total", "Allocations that failed and that the daemon survived.",
     nullptr, STATS_ALLOC_FAILED},
    {"wispd_flares_lost_total",
     "Flares admitted by the rate window that were neither sent nor queued.", nullptr,
     STATS_FLARE_LOST},
    {"wispd_agents_ended_total", "Agents whose thread ended; their observations go unhandled.",
     nullptr, STATS_AGENT_ENDED},
    {"wispd_agent_stalls_total",
     "Times an agent left its full pipe unread for seconds while intake waited for it.", nullptr,
     STATS_AGENT_STALL},
    {"wispd_cpu_offers_total",
     "Times a thread that had worked 100 microseconds without waiting offered its CPU.", nullptr,
     STATS_CPU_OFFERED},
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

// Nanoseconds counted, shown in seconds as Prometheus has time.
void RowSeconds(std::string *out, const char *name, uint64_t nanoseconds) {
  char value[48];
  snprintf(value, sizeof value, " %llu.%09llu\n",
           static_cast<unsigned long long>(nanoseconds / 1000000000u),
           static_cast<unsigned long long>(nanoseconds % 1000000000u));
  *out += name;
  *out += value;
}

void Head(std::string *out, const char *name, const char *help, const char *type) {
  *out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

uint64_t TotalRead() {
  uint64_t total = 0;
  for (const auto &r : gRead) total += r.load(std::memory_order_relaxed);
  return total;
}

// Per agent: what it took, whether it waits in its poll, and the bytes
// still unread on its descriptors. Read under the lock, so no descriptor
// closes meanwhile.
void RenderAgents(std::string *out) {
  struct Sample {
    std::string label;
    uint64_t took;
    uint64_t wakeups;
    int waiting;
    uint64_t backlog;
    int running;
  };
  std::vector<Sample> samples;
  MutexGuard lock(&gAgentLock);
  for (int i = 0; i < gAgentCount.load(); ++i) {
    const AgentSlot &a = gAgents[i];
    // The wake-ups first, then the waiting flag, then what is unread: an
    // agent seen waiting with nothing unread has taken everything written
    // before, and if it woke meanwhile (and took what was there, a record
    // or a timer's wake-up) the next snapshot shows one more wake-up.
    uint64_t wakeups = a.wakeups.load();
    // Bytes read but not yet taken, then what the descriptors hold.
    std::string label = "agent=\"" + std::string(a.name) + "\"";
    Sample s{label, 0, wakeups, a.waiting.load(), a.held.load(), a.running.load()};
    for (int fd : a.watched) {
      int unread = 0;
      if (fd >= 0 && ioctl(fd, FIONREAD, &unread) == 0 && unread > 0)
        s.backlog += static_cast<uint64_t>(unread);
    }
    s.took = a.took.load();
    samples.push_back(s);
  }
  uint64_t running = 0;
  for (const Sample &s : samples) running += s.running != 0;
  Head(out, "wispd_agents_running", "Agents whose thread serves its stream.", "gauge");
  Row(out, "wispd_agents_running", nullptr, running);
  Head(out, "wispd_agent_running", "1 while the agent's thread serves its stream.", "gauge");
  for (const Sample &s : samples)
    Row(out, "wispd_agent_running", s.label.c_str(), static_cast<uint64_t>(s.running));
  Head(out, "wispd_agent_observations_total", "Observations each agent took from its stream.",
       "counter");
  for (const Sample &s : samples)
    Row(out, "wispd_agent_observations_total", s.label.c_str(), s.took);
  Head(out, "wispd_agent_wakeups_total", "Times the agent woke from its wait for input.",
       "counter");
  for (const Sample &s : samples) Row(out, "wispd_agent_wakeups_total", s.label.c_str(), s.wakeups);
  Head(out, "wispd_agent_waiting", "1 while the agent waits for input.", "gauge");
  for (const Sample &s : samples)
    Row(out, "wispd_agent_waiting", s.label.c_str(), static_cast<uint64_t>(s.waiting));
  Head(out, "wispd_agent_backlog_bytes", "Bytes written for the agent that it has not read yet.",
       "gauge");
  for (const Sample &s : samples) Row(out, "wispd_agent_backlog_bytes", s.label.c_str(), s.backlog);
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

int Stats_AgentAdd(const char *name) {
  pthread_mutex_lock(&gAgentLock);
  int slot = gAgentCount.load();
  if (slot < STATS_AGENTS_MAX) {
    AgentSlot &a = gAgents[slot];
    snprintf(a.name, sizeof a.name, "%s", name);
    a.took = 0;
    a.wakeups = 0;
    a.held = 0;
    a.waiting = 0;
    a.running = 1;
    for (int &fd : a.watched) fd = -1;
    gAgentCount = slot + 1;
  } else {
    slot = -1;
  }
  pthread_mutex_unlock(&gAgentLock);
  return slot;
}

void Stats_AgentWatch(int slot, int fd) {
  if (slot < 0 || slot >= gAgentCount.load()) return;
  pthread_mutex_lock(&gAgentLock);
  for (int &w : gAgents[slot].watched) {
    if (w != -1) continue;
    w = fd;
    break;
  }
  pthread_mutex_unlock(&gAgentLock);
}

void Stats_AgentTook(int slot) {
  if (slot >= 0 && slot < gAgentCount.load()) gAgents[slot].took.fetch_add(1);
}

void Stats_AgentHeld(int slot, uint64_t bytes) {
  if (slot >= 0 && slot < gAgentCount.load()) gAgents[slot].held.store(bytes);
}

void Stats_AgentWaiting(int slot, bool waiting) {
  if (slot < 0 || slot >= gAgentCount.load()) return;
  // Not waiting first, then the wake-up counted: a snapshot that saw the
  // old count and the agent waiting sees the new count next time.
  gAgents[slot].waiting.store(waiting ? 1 : 0);
  if (!waiting) gAgents[slot].wakeups.fetch_add(1);
}

void Stats_AgentEnded(int slot) {
  if (slot < 0 || slot >= gAgentCount.load()) return;
  pthread_mutex_lock(&gAgentLock);
  AgentSlot &a = gAgents[slot];
  a.running = 0;
  a.waiting = 0;
  a.held = 0;
  for (int &fd : a.watched) fd = -1;
  pthread_mutex_unlock(&gAgentLock);
}

void Stats_SetProducers(int count) {
  gProducers.store(count);
}

uint64_t Stats_Get(StatsCounter counter) {
  return gCounters[counter].load(std::memory_order_relaxed);
}

uint64_t Stats_GetRead(int source) {
  return gRead[source].load(std::memory_order_relaxed);
}

void Stats_Reset(void) {
  pthread_mutex_lock(&gAgentLock);
  gAgentCount = 0;
  pthread_mutex_unlock(&gAgentLock);
  for (auto &c : gCounters) c.store(0);
  gProducers.store(0);
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
  Head(&out, "wispd_log_records_dropped_total",
       "Log records the syslog collector did not take (none there, or its queue stayed full).",
       "counter");
  Row(&out, "wispd_log_records_dropped_total", nullptr, Syslog_DroppedRecords());
  Head(&out, "wispd_log_room_waits_total",
       "Times a log record waited for room in the syslog collector's queue.", "counter");
  Row(&out, "wispd_log_room_waits_total", nullptr, Syslog_RoomWaits());
  Head(&out, "wispd_log_room_wait_seconds_total",
       "Time log records waited for room in the syslog collector's queue, summed over threads.",
       "counter");
  RowSeconds(&out, "wispd_log_room_wait_seconds_total", Syslog_RoomWaitNanoseconds());
  Head(&out, "wispd_producers_connected", "User-level producers connected now.", "gauge");
  Row(&out, "wispd_producers_connected", nullptr, static_cast<uint64_t>(gProducers.load()));
  RenderAgents(&out);
  // The daemon's own version, so that an exporter of another build reports it.
  Head(&out, "wispd_build_info", "The version of the daemon serving these counters.", "gauge");
  Row(&out, "wispd_build_info", "version=\"" WISPD_VERSION "\"", 1);
  return out;
}

void Stats_Summary(size_t queued, char *out, size_t size) {
  // Built without allocating: the stop logs it, memory or none.
  auto n = [](StatsCounter c) { return static_cast<unsigned long long>(Stats_Get(c)); };
  unsigned long long posted = n(STATS_FLARE_PROBLEM) + n(STATS_FLARE_AUDIT) + n(STATS_FLARE_CLEAR);
  snprintf(out, size,
           "Counters at exit: observations read %llu, malformed records %llu, batches cut short "
           "%llu, batches too large %llu, flares posted %llu (problem %llu, audit %llu, clear "
           "%llu), dropped by the rate window %llu, queued %llu, retries %llu, resent %llu, "
           "abandoned %llu, lost with the queue %zu, trace clients refused %llu, dropped %llu, "
           "flares lost %llu, agents ended %llu, agent stalls %llu, allocation failures %llu, "
           "log records dropped %llu\n",
           static_cast<unsigned long long>(TotalRead()), n(STATS_RECORD_MALFORMED),
           n(STATS_BATCH_CUT_SHORT), n(STATS_BATCH_TOO_LARGE), posted, n(STATS_FLARE_PROBLEM),
           n(STATS_FLARE_AUDIT), n(STATS_FLARE_CLEAR), n(STATS_FLARE_RATE_DROPPED),
           n(STATS_FLARE_QUEUED), n(STATS_FLARE_RETRY), n(STATS_FLARE_RESENT),
           n(STATS_FLARE_ABANDONED), queued, n(STATS_TRACE_REFUSED), n(STATS_TRACE_DROPPED),
           n(STATS_FLARE_LOST), n(STATS_AGENT_ENDED), n(STATS_AGENT_STALL), n(STATS_ALLOC_FAILED),
           static_cast<unsigned long long>(Syslog_DroppedRecords()));
}
