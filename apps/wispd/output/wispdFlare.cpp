#include "output/wispdFlare.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <new>

#include "base/wispdBytes.h"
#include "base/wispdClock.h"
#include "base/wispdLog.h"
#include "base/wispdMemory.h"
#include "base/wispdStats.h"
#include "base/wispdTimer.h"
#include "output/wispdTrace.h"
#include "pelldan/paths.h"
#include "pelldan/root.h"
#include "pellibs/mantle.h"
#include "pellibs/msgfmt.h"
#include "pellibs/str.h"
#include "pellibs/sysinfo.h"

namespace {

constexpr char kSource[] = "apps/wispd/wispdFlare";
constexpr int kMaxPackings = 5;
// A hubd that stops reading must not hold a correlator for long: a send
// that has started gets this long.
constexpr int kSendTimeoutSeconds = 2;
constexpr int kTimedOut = -2;

const char *const kPrefixes[] = {"tarn.problem.", "tarn.audit.", "tarn.clear."};

uint8_t gHostUuid[SYSI_UUID_SIZE];

pthread_mutex_t gRateLock = PTHREAD_MUTEX_INITIALIZER;
int64_t gWindowStart = 0;
uint32_t gWindowCount = 0;

struct RetryEntry {
  RetryEntry *prev;
  RetryEntry *next;
  int32_t failures;
  size_t size;
  uint8_t *record;
};

// Queue, its armed flag and timer: all under gQueueLock, which a retry pass
// holds throughout, sends included.
pthread_mutex_t gQueueLock = PTHREAD_MUTEX_INITIALIZER;
RetryEntry gQueue = {nullptr, nullptr, 0, 0, nullptr};
bool gArmed = false;
int gRetryTimer = -1;

// Counts the flare; false when the window's 1000 are used up.
bool Admit() {
  int64_t now = Clock_WallSeconds();
  pthread_mutex_lock(&gRateLock);
  bool ok = true;
  // A wall clock stepped back behind the window's start opens a new window.
  if (gWindowStart == 0 || now - gWindowStart > FLARE_RATE_WINDOW - 1 || now < gWindowStart) {
    gWindowStart = now;
    gWindowCount = 1;
  } else {
    ok = ++gWindowCount <= FLARE_RATE_MAX;
  }
  pthread_mutex_unlock(&gRateLock);
  return ok;
}

// Sets the socket's send time-out to what is left until deadline; false
// when nothing is left.
bool BoundBy(int fd, const struct timespec &deadline) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  int64_t leftUs =
      (deadline.tv_sec - now.tv_sec) * 1000000 + (deadline.tv_nsec - now.tv_nsec) / 1000;
  if (leftUs <= 0) return false;
  struct timeval timeout = {static_cast<time_t>(leftUs / 1000000),
                            static_cast<suseconds_t>(leftUs % 1000000)};
  return setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) == 0;
}

// 0 sent; -1 failed; kTimedOut when hubd did not take the record in time.
int Send(const uint8_t *record, size_t size) {
  struct timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += kSendTimeoutSeconds;
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  Str_Strcpy(addr.sun_path, pelldan::RootPath(pelldan::kFlareSocket).c_str(), sizeof addr.sun_path);
  // A connection hubd's backlog has no room for is a failed send at once:
  // a frozen hubd must not cost every flare the whole time-out.
  int rc = -1;
  int flags = fcntl(fd, F_GETFL);
  if (flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0) {
    for (;;) {
      if (connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) == 0) {
        rc = 0;
        break;
      }
      if (errno == EAGAIN) rc = kTimedOut;
      if (errno != EINTR) break;
    }
    if (rc == 0 && fcntl(fd, F_SETFL, flags) != 0) rc = -1;
  }
  for (size_t done = 0; rc == 0 && done < size;) {
    if (!BoundBy(fd, deadline)) {
      rc = kTimedOut;
      break;
    }
    ssize_t n = send(fd, record + done, size - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      rc = errno == EAGAIN ? kTimedOut : -1;
      break;
    }
    done += static_cast<size_t>(n);
  }
  close(fd);
  return rc;
}

void Enqueue(const uint8_t *record, size_t size) {
  RetryEntry *e = static_cast<RetryEntry *>(calloc(1, sizeof(RetryEntry)));
  uint8_t *copy = static_cast<uint8_t *>(malloc(size));
  if (e == nullptr || copy == nullptr) {
    free(e);
    free(copy);
    Stats_Count(STATS_FLARE_LOST);
    Memory_Failed("the retry queue");
    return;
  }
  memcpy(copy, record, size);
  e->size = size;
  e->record = copy;
  pthread_mutex_lock(&gQueueLock);
  if (gQueue.next == nullptr) gQueue.next = gQueue.prev = &gQueue;
  e->prev = gQueue.prev;
  e->next = &gQueue;
  gQueue.prev->next = e;
  gQueue.prev = e;
  if (!gArmed) {
    Timer_Set(gRetryTimer, TIMER_ONESHOT, FLARE_RETRY_SECONDS, nullptr);
    gArmed = true;
  }
  pthread_mutex_unlock(&gQueueLock);
}

void Unlink(RetryEntry *e) {
  e->prev->next = e->next;
  e->next->prev = e->prev;
  free(e->record);
  free(e);
}

// The record being built; freed on every way out.
struct Owned {
  uint8_t *p = nullptr;
  ~Owned() { free(p); }
};

// Builds, logs, traces and sends (or queues) a flare the window admitted.
void BuildAdmitted(const char *prefix, const char *suffix, const char *format, va_list ap,
                   bool deferSend) {
  size_t size = FLARE_RECORD_SIZE;
  Owned owned;
  uint8_t *&rec = owned.p;
  rec = static_cast<uint8_t *>(calloc(1, size));
  if (rec == nullptr) {
    Log("Failed to allocate %zu bytes for prob buffer.\n", size);
    Stats_Count(STATS_FLARE_LOST);
    return;
  }
  size_t idLen = strlen(prefix) + strlen(suffix) + 1;
  if (idLen > FLARE_ID_MAX) {
    Stats_Count(STATS_FLARE_LOST);
    return;
  }
  Bytes_Store32(rec + FLARE_OFF_IDLEN, static_cast<uint32_t>(idLen));
  Str_Sprintf(reinterpret_cast<char *>(rec + FLARE_OFF_ID), idLen, "%s%s", prefix, suffix);
  memcpy(rec + FLARE_OFF_UUID, gHostUuid + FLARE_OFF_UUID, FLARE_UUID_BYTES);
  size_t total = idLen + FLARE_OFF_ID + FLARE_TRAILER;
  Bytes_Store32(rec + FLARE_OFF_LENGTH, static_cast<uint32_t>(total));
  Bytes_Store32(rec + FLARE_OFF_ARGCOUNT, 0);
  MANTLE_ReturnStatus status = Mantle_Syscall(MANTLE_SYSCALL_STAMP_FLARE, rec, 0);
  if (status != MANTLE_OK) errno = MANTLE_ReturnStatusToErrno(status);

  void *args = nullptr;
  int count = 0;
  size_t packed = 0;
  for (int attempt = 1;; ++attempt) {
    packed = size - total;
    va_list copy;
    va_copy(copy, ap);
    bool fits = MsgFmt_GetArgsWithBuf(format, copy, &args, &count, nullptr,
                                      rec + FLARE_OFF_ID + idLen, &packed);
    va_end(copy);
    if (fits) break;
    if (attempt == kMaxPackings) {
      Stats_Count(STATS_FLARE_LOST);
      return;
    }
    uint8_t *grown = static_cast<uint8_t *>(realloc(rec, size * 2));
    if (grown == nullptr) {
      Log("Failed to allocate %zu bytes for prob buffer.", size * 2);
      Stats_Count(STATS_FLARE_LOST);
      return;
    }
    memset(grown + size, 0, size);
    rec = grown;
    size *= 2;
  }
  const char *eventId = reinterpret_cast<const char *>(rec + FLARE_OFF_ID);
  char *text = MsgFmt_Asprintf(nullptr, format, args, count);
  LogFlare(eventId, text, Bytes_Load64(rec + FLARE_OFF_TIMESTAMP));
  Stats_CountFlare(eventId);
  free(text);
  MsgFmt_SwizzleArgs(args, count);
  total += packed;
  Bytes_Store32(rec + FLARE_OFF_LENGTH, static_cast<uint32_t>(total));
  Bytes_Store32(rec + FLARE_OFF_ARGCOUNT, static_cast<uint32_t>(count));
  Trace_Emit("OUT", Bytes_Load64(rec + FLARE_OFF_TIMESTAMP), eventId, args, count, rec + total);
  if (deferSend || Send(rec, total) != 0) {
    // Counted first: whoever reads the line finds the count.
    Stats_Count(STATS_FLARE_QUEUED);
    Log("An event (%s) could not be sent immediately to hubd; queueing for retry.", eventId);
    Enqueue(rec, total);
  } else {
    Stats_Count(STATS_FLARE_SENT);
  }
}

void BuildAndDeliver(const char *prefix, const char *suffix, const char *format, va_list ap,
                     bool deferSend) {
  // A flare the rate window drops needs no record.
  if (!Admit()) {
    Log("Event rate limit reached. Dropping flare: %s%s\n", prefix, suffix);
    Stats_Count(STATS_FLARE_RATE_DROPPED);
    return;
  }
  // Out of memory before it is posted, the flare is counted as lost; the
  // handler goes on.
  try {
    BuildAdmitted(prefix, suffix, format, ap, deferSend);
  } catch (const std::bad_alloc &) {
    Stats_Count(STATS_FLARE_LOST);
    Memory_Failed("building a flare");
  }
}

}  // namespace

void Flare_Init(void) {
  gRetryTimer = Timer_Create(Flare_RetryPass);
  Sysi_Get(Sysi_NODE_system_systemUuid, nullptr, gHostUuid, sizeof gHostUuid);
}

void Flare_PostV(bool deferSend, FlareKind kind, const char *format, va_list ap) {
  if (kind < FLARE_PROBLEM || kind > FLARE_CLEAR) Panic("NOT_REACHED %s:%d\n", kSource, __LINE__);
  const char *prefix = kPrefixes[kind];
  // The marker and prefix are skipped by length, not compared.
  size_t skip = strlen(FLARE_MARKER) + strlen(prefix);
  const char *start = format + strnlen(format, skip);
  const char *close = strchr(start, ')');
  size_t n = close != nullptr ? static_cast<size_t>(close - start) : strlen(start);
  // Event ids fit the stack; a longer one (dropped later) is copied to the heap.
  char small[FLARE_ID_MAX + 1];
  char *suffix = n < sizeof small ? small : static_cast<char *>(malloc(n + 1));
  if (suffix == nullptr) Panic("MEM_ALLOC %s:%d\n", kSource, __LINE__);
  memcpy(suffix, start, n);
  suffix[n] = '\0';
  BuildAndDeliver(prefix, suffix, close != nullptr ? close + 1 : "", ap, deferSend);
  if (suffix != small) free(suffix);
}

void Flare_Post(bool deferSend, FlareKind kind, const char *format, ...) {
  va_list ap;
  va_start(ap, format);
  Flare_PostV(deferSend, kind, format, ap);
  va_end(ap);
}

#define WISPD_POST_KIND(name, kind)       \
  void name(const char *format, ...) {    \
    va_list ap;                           \
    va_start(ap, format);                 \
    Flare_PostV(false, kind, format, ap); \
    va_end(ap);                           \
  }
WISPD_POST_KIND(Flare_PostProblem, FLARE_PROBLEM)
WISPD_POST_KIND(Flare_PostAudit, FLARE_AUDIT)
WISPD_POST_KIND(Flare_PostClear, FLARE_CLEAR)
#undef WISPD_POST_KIND

void Wispd_PostProblem(const char *suffix, const char *format, ...) {
  Log("Using discouraged \"Wispd_PostProblem\" interface for flare: %s", suffix);
  va_list ap;
  va_start(ap, format);
  BuildAndDeliver(kPrefixes[FLARE_PROBLEM], suffix, format, ap, false);
  va_end(ap);
}

void Flare_RetryPass(void) {
  pthread_mutex_lock(&gQueueLock);
  bool kept = false;
  // Posters wait for the pass, so a hubd that does not answer in time is
  // not asked again in this pass: the other entries count a failure each.
  bool unanswered = false;
  if (gQueue.next != nullptr) {
    for (RetryEntry *e = gQueue.next; e != &gQueue;) {
      RetryEntry *next = e->next;
      const char *eventId = reinterpret_cast<const char *>(e->record + FLARE_OFF_ID);
      Stats_Count(STATS_FLARE_RETRY);
      int sent = unanswered ? kTimedOut : Send(e->record, e->size);
      unanswered = sent == kTimedOut;
      if (sent == 0) {
        Stats_Count(STATS_FLARE_RESENT);
        Log("Successfully sent event (%s) after %d failure%s.\n", eventId, e->failures + 1,
            e->failures >= 1 ? "s" : "");
        Unlink(e);
      } else if (++e->failures > FLARE_RETRY_MAX - 1) {
        Log("Abandoned event (%s) after %d failures.\n", eventId, e->failures + 1);
        Stats_Count(STATS_FLARE_ABANDONED);
        Unlink(e);
      } else {
        Log("Failed to send event (%s); %d failures so far.\n", eventId, e->failures + 1);
        kept = true;
      }
      e = next;
    }
  }
  if (kept) {
    Timer_Set(gRetryTimer, TIMER_ONESHOT, FLARE_RETRY_SECONDS, nullptr);
  } else {
    gArmed = false;
  }
  pthread_mutex_unlock(&gQueueLock);
}

size_t Flare_QueueLength(void) {
  pthread_mutex_lock(&gQueueLock);
  size_t n = 0;
  if (gQueue.next != nullptr)
    for (RetryEntry *e = gQueue.next; e != &gQueue; e = e->next) ++n;
  pthread_mutex_unlock(&gQueueLock);
  return n;
}

void Flare_ForEachQueued(void (*visit)(const char *eventId)) {
  pthread_mutex_lock(&gQueueLock);
  if (gQueue.next != nullptr)
    for (RetryEntry *e = gQueue.next; e != &gQueue; e = e->next)
      visit(reinterpret_cast<const char *>(e->record + FLARE_OFF_ID));
  pthread_mutex_unlock(&gQueueLock);
}
