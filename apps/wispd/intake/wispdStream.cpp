#include "intake/wispdStream.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>

#include "base/wispdBytes.h"
#include "base/wispdClock.h"
#include "base/wispdLog.h"
#include "base/wispdStats.h"
#include "intake/wispdRoutes.h"
#include "output/wispdTrace.h"
#include "pellibs/str.h"

struct Stream {
  Stream *prev;
  Stream *next;
  int readFd;
  int writeFd;
  StreamFilter *filter;
  char **name;
  uint8_t *buf;  // a record longer than the read-ahead, while it arrives
  uint32_t got;
  uint32_t want;
  // What one read took from the pipe and no record has used yet: an
  // agent reads a batch's records with one read, not two per record.
  uint8_t *ahead;
  uint32_t aheadAt;
  uint32_t aheadEnd;
  // The last read found less than it asked for: the pipe was empty then.
  bool drained;
};

namespace {

// Circular list with a sentinel; new streams at the tail.
Stream gRegistry = {&gRegistry, &gRegistry, -1,      -1, nullptr, nullptr, nullptr,
                    0,          0,          nullptr, 0,  0,       false};
pthread_mutex_t gStreamLock;
// Which streams take an id; forgotten when a stream comes or goes.
RouteCache gRoutes;
const volatile sig_atomic_t *gStopFlag = nullptr;

void Lock() {
  int rc = pthread_mutex_lock(&gStreamLock);
  if (rc != 0) Panic("Failed to acquire stream lock: %s\n", strerror(rc));
}

void Unlock() {
  int rc = pthread_mutex_unlock(&gStreamLock);
  if (rc != 0) Panic("Failed to release stream lock: %s\n", strerror(rc));
}

// The stream lock for a scope, released on every way out.
struct StreamLock {
  StreamLock() { Lock(); }
  ~StreamLock() { Unlock(); }
};

bool Stopping() {
  return gStopFlag != nullptr && *gStopFlag;
}

const char *NameOf(const Stream *s) {
  return s->name != nullptr && *s->name != nullptr ? *s->name : "(unnamed)";
}

// An agent that leaves its full pipe unread this long is said to stall.
constexpr int64_t kStallNanos = 5LL * 1000000000;
// How often a writer waiting for room looks at the clock.
constexpr int kStallLookMs = 500;

// Waits for room in a full pipe; 0, or EINTR when the stop came. The
// first wait of kStallNanos in a record's write is logged and counted,
// and so is its end.
int WaitForRoom(const Stream *s, int64_t *since, bool *stalled) {
  if (Stopping()) return EINTR;
  int64_t now = Clock_Get().SteadyNanos();
  if (*since == 0) *since = now;
  if (!*stalled && now - *since >= kStallNanos) {
    *stalled = true;
    Stats_Count(STATS_AGENT_STALL);
    Log("Agent %s has left its stream unread for %lld s; intake waits for it.\n", NameOf(s),
        static_cast<long long>((now - *since) / 1000000000));
  }
  struct pollfd p = {s->writeFd, POLLOUT, 0};
  if (poll(&p, 1, kStallLookMs) < 0 && errno == EINTR && Stopping()) return EINTR;
  return 0;
}

// Writes the records (one iovec each) in as few writes as the pipe allows;
// a signal or a partial write must not leave half a record in the pipe,
// unless the signal is the stop: then the daemon is going away and the
// agents with it. The write end does not block, so a full pipe is waited
// for here, where a stall can be seen.
int WriteRecords(const Stream *s, struct iovec *iov, size_t count) {
  int64_t since = 0;
  bool stalled = false;
  int rc = 0;
  while (count > 0 && rc == 0) {
    ssize_t n = writev(s->writeFd, iov, static_cast<int>(std::min<size_t>(count, IOV_MAX)));
    if (n >= 0) {
      // Step past what went: whole records, then into the one cut short.
      size_t done = static_cast<size_t>(n);
      while (count > 0 && done >= iov->iov_len) {
        done -= iov->iov_len;
        ++iov;
        --count;
      }
      if (count > 0) {
        iov->iov_base = static_cast<uint8_t *>(iov->iov_base) + done;
        iov->iov_len -= done;
      }
    } else if (errno == EAGAIN) {
      rc = WaitForRoom(s, &since, &stalled);
    } else if (errno != EINTR || Stopping()) {
      rc = errno;
    }
  }
  if (stalled)
    Log("Agent %s reads its stream again after %lld s.\n", NameOf(s),
        static_cast<long long>((Clock_Get().SteadyNanos() - since) / 1000000000));
  return rc;
}

// One read of up to want bytes; the bytes read, or -1 with errno.
ssize_t ReadSome(Stream *s, uint8_t *to, size_t want) {
  ssize_t n = read(s->readFd, to, want);
  if (n == 0) Panic("EOF trying to read %d bytes from stream %p\n", static_cast<int>(want), s);
  s->drained = n < 0 || static_cast<size_t>(n) < want;
  return n;
}

// Reads into the reassembly buffer; 0 when all wanted bytes are in, 1 when
// some are still wanted, 2 on error.
int Fill(Stream *s, uint8_t *to) {
  ssize_t n = ReadSome(s, to + s->got, s->want);
  if (n < 0) return errno == EINTR || errno == EAGAIN ? 1 : 2;
  s->got += static_cast<uint32_t>(n);
  s->want -= static_cast<uint32_t>(n);
  return s->want > 0 ? 1 : 0;
}

// Sized for the records of a batch that one agent takes; a longer record
// is assembled on its own.
constexpr uint32_t kAhead = 16384;

}  // namespace

StreamFilter *StreamFilter_Create(void) {
  return static_cast<StreamFilter *>(calloc(1, sizeof(StreamFilter)));
}

int StreamFilter_AddGroup(StreamFilter *filter, const char *group) {
  if (filter->prefixCount >= STREAM_FILTER_MAX) return 1;
  char *prefix = Str_Asprintf(nullptr, "wisp.%s", group);
  if (prefix == nullptr) return 1;
  filter->prefixLengths[filter->prefixCount] = strlen(prefix);
  filter->prefixes[filter->prefixCount++] = prefix;
  return 0;
}

int StreamFilter_AddId(StreamFilter *filter, const char *id) {
  if (filter->idCount >= STREAM_FILTER_MAX) return 1;
  char *copy = strdup(id);
  if (copy == nullptr) return 1;
  filter->ids[filter->idCount++] = copy;
  return 0;
}

int StreamFilter_Copy(const StreamFilter *filter, StreamFilter **copy) {
  StreamFilter *c = StreamFilter_Create();
  if (c == nullptr) return 1;
  for (int i = 0; i < filter->prefixCount; ++i) {
    c->prefixes[i] = strdup(filter->prefixes[i]);
    if (c->prefixes[i] == nullptr) {
      StreamFilter_Free(c);
      return 1;
    }
    c->prefixLengths[i] = filter->prefixLengths[i];
    c->prefixCount = i + 1;
  }
  for (int i = 0; i < filter->idCount; ++i) {
    if (StreamFilter_AddId(c, filter->ids[i]) != 0) {
      StreamFilter_Free(c);
      return 1;
    }
  }
  *copy = c;
  return 0;
}

void StreamFilter_Free(StreamFilter *filter) {
  if (filter == nullptr) return;
  for (int i = 0; i < filter->prefixCount; ++i) free(filter->prefixes[i]);
  for (int i = 0; i < filter->idCount; ++i) free(filter->ids[i]);
  free(filter);
}

bool StreamFilter_Accepts(const StreamFilter *filter, const char *id, size_t length) {
  for (int i = 0; i < filter->prefixCount; ++i) {
    size_t n = filter->prefixLengths[i];
    // The dot first: most ids of other groups fail there, uncompared.
    if (length > n && id[n] == '.' && memcmp(id, filter->prefixes[i], n) == 0) return true;
  }
  for (int i = 0; i < filter->idCount; ++i) {
    if (Wisp_IsID(id, filter->ids[i])) return true;
  }
  return false;
}

void Stream_SetStopFlag(const volatile sig_atomic_t *stop) {
  gStopFlag = stop;
}

int Stream_RegistryInit(void) {
  gRegistry.prev = gRegistry.next = &gRegistry;
  gRoutes.Clear();
  return pthread_mutex_init(&gStreamLock, nullptr);
}

int Stream_Open(char **nameHolder, const StreamFilter *filter, Stream **stream) {
  Stream *s = static_cast<Stream *>(calloc(1, sizeof(Stream)));
  if (s == nullptr) return 1;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    free(s);
    return 2;
  }
  s->readFd = fds[0];
  s->writeFd = fds[1];
  // Neither end blocks: the dispatcher waits for room where it can see a
  // stall, and an agent reads what is there before it polls again.
  fcntl(s->writeFd, F_SETFL, fcntl(s->writeFd, F_GETFL) | O_NONBLOCK);
  fcntl(s->readFd, F_SETFL, fcntl(s->readFd, F_GETFL) | O_NONBLOCK);
  s->name = nameHolder;
  s->ahead = static_cast<uint8_t *>(malloc(kAhead));
  if (s->ahead == nullptr || StreamFilter_Copy(filter, &s->filter) != 0) {
    close(fds[0]);
    close(fds[1]);
    free(s->ahead);
    free(s);
    return 1;
  }
  Lock();
  s->prev = gRegistry.prev;
  s->next = &gRegistry;
  gRegistry.prev->next = s;
  gRegistry.prev = s;
  gRoutes.Clear();
  Unlock();
  *stream = s;
  return 0;
}

int Stream_GetReadFds(const Stream *stream, int *count, int *fds) {
  if (*count < 1) return 1;
  fds[0] = stream->readFd;
  *count = 1;
  return 0;
}

namespace {

// The record at the front of the read-ahead once it is all there, with
// one read of the pipe when it is not; a record too long for the
// read-ahead moves to a buffer of its own (s->buf). 0 with *record or
// without it (more bytes wanted), 2 on error.
int TakeAhead(Stream *s, uint8_t **record) {
  for (bool read = false;; read = true) {
    uint32_t have = s->aheadEnd - s->aheadAt;
    if (have >= WISP_RAW_HEADER_SIZE) {
      const uint8_t *front = s->ahead + s->aheadAt;
      uint32_t total = Bytes_Load32(front + 16);
      if (total <= WISP_RAW_HEADER_SIZE) return 2;  // the dispatcher never writes such a record
      if (total <= have || total > kAhead) {
        uint8_t *copy = static_cast<uint8_t *>(malloc(total));
        if (copy == nullptr) return 2;
        uint32_t taken = std::min(total, have);
        memcpy(copy, front, taken);
        s->aheadAt += taken;
        if (s->aheadAt == s->aheadEnd) s->aheadAt = s->aheadEnd = 0;
        if (taken == total) {
          *record = copy;
          return 0;
        }
        s->buf = copy;
        s->got = taken;
        s->want = total - taken;
        return 0;
      }
    }
    // More bytes wanted: what is left moves to the front, and the pipe
    // fills the rest, with one read a call: the rest comes after a poll.
    if (read) return 0;
    if (s->aheadAt > 0) {
      memmove(s->ahead, s->ahead + s->aheadAt, have);
      s->aheadAt = 0;
      s->aheadEnd = have;
    }
    ssize_t n = ReadSome(s, s->ahead + s->aheadEnd, kAhead - s->aheadEnd);
    if (n < 0) return errno == EINTR || errno == EAGAIN ? 0 : 2;
    s->aheadEnd += static_cast<uint32_t>(n);
  }
}

}  // namespace

int Stream_Read(Stream *s, Wisp **wisp, bool *complete) {
  *complete = false;
  *wisp = nullptr;
  uint8_t *record = nullptr;
  if (s->buf == nullptr) {
    if (TakeAhead(s, &record) != 0) return 2;
    if (record == nullptr && s->buf == nullptr) return 0;
  }
  if (record == nullptr) {
    int rc = Fill(s, s->buf);
    if (rc != 0) return rc == 1 ? 0 : 2;
    record = s->buf;
    s->buf = nullptr;
    s->got = 0;
    s->want = 0;
  }
  Wisp_MakeWisp(record, Bytes_Load32(record + 16), wisp);
  if (*wisp == nullptr) {
    free(record);
    return 1;
  }
  *complete = true;  // the record's buffer is now the observation's
  return 0;
}

bool Stream_WaitFirst(const Stream *s) {
  uint32_t have = s->aheadEnd - s->aheadAt;
  if (s->buf == nullptr && have >= WISP_RAW_HEADER_SIZE &&
      Bytes_Load32(s->ahead + s->aheadAt + 16) <= have)
    return false;
  return s->drained;
}

uint32_t Stream_Held(const Stream *s) {
  return s->aheadEnd - s->aheadAt + s->got;
}

int Stream_Close(Stream *s) {
  int rc = 0;
  // The dispatcher may hold the lock while it waits for room in this very
  // pipe: drain it until the lock comes free.
  for (;;) {
    int busy = pthread_mutex_trylock(&gStreamLock);
    if (busy == 0) break;
    if (busy != EBUSY) Panic("Failed to acquire stream lock: %s\n", strerror(busy));
    struct pollfd p = {s->readFd, POLLIN, 0};
    if (poll(&p, 1, 10) > 0 && (p.revents & POLLIN)) {
      char discard[4096];
      ssize_t n = read(s->readFd, discard, sizeof discard);
      (void)n;
    }
  }
  if (close(s->readFd) != 0 || close(s->writeFd) != 0) rc = 2;
  s->prev->next = s->next;
  s->next->prev = s->prev;
  gRoutes.Clear();
  StreamFilter_Free(s->filter);
  free(s->buf);
  free(s->ahead);
  free(s);
  Unlock();
  return rc;
}

namespace {

// The records of a batch that reach the agents, in batch order: the main
// thread's alone (the stream lock is held). Fixed arrays, so that fanning
// out needs no memory (the route cache's table, made once, is a help, not
// a need); a batch of more records goes out in parts.
constexpr size_t kPart = IOV_MAX;
struct iovec gRecords[kPart];
size_t gIdLengths[kPart];  // found once per record
struct iovec gWrites[kPart];

uint64_t gStreamsOf[kPart];  // a record's accepting streams, one bit each

bool Accepts(const Stream *s, size_t i) {
  return StreamFilter_Accepts(
      s->filter, static_cast<const char *>(gRecords[i].iov_base) + WISP_RAW_HEADER_SIZE,
      gIdLengths[i]);
}

// Which streams take each record, from the cache where the id is known.
void Route(size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const char *id = static_cast<const char *>(gRecords[i].iov_base) + WISP_RAW_HEADER_SIZE;
    const uint64_t *known = gRoutes.Find(id, gIdLengths[i]);
    if (known != nullptr) {
      gStreamsOf[i] = *known;
      continue;
    }
    uint64_t bits = 0, bit = 1;
    for (Stream *s = gRegistry.next; s != &gRegistry; s = s->next, bit <<= 1)
      if (Accepts(s, i)) bits |= bit;
    gRoutes.Put(id, gIdLengths[i], bits);
    gStreamsOf[i] = bits;
  }
}

// Each stream gets the records it accepts, the same bytes in the same
// order, all of them in one write where its pipe has room: one wake-up of
// its agent per batch, not per record.
int FanOut(size_t count) {
  size_t streams = 0;
  for (Stream *s = gRegistry.next; s != &gRegistry; s = s->next) ++streams;
  bool routed = streams <= RouteCache::kStreamsMax;
  if (routed) Route(count);
  uint64_t bit = 1;
  for (Stream *s = gRegistry.next; s != &gRegistry; s = s->next, bit <<= 1) {
    size_t n = 0;
    for (size_t i = 0; i < count; ++i)
      if (routed ? (gStreamsOf[i] & bit) != 0 : Accepts(s, i)) gWrites[n++] = gRecords[i];
    if (n == 0) continue;
    int rc = WriteRecords(s, gWrites, n);
    if (rc != 0) return rc;
  }
  return 0;
}

}  // namespace

int Stream_Dispatch(const uint8_t *batch, size_t length) {
  if (length < 1) return 0;
  StreamLock lock;
  size_t count = 0;
  size_t offset = 0;
  while (offset < length) {
    const uint8_t *rec = batch + offset;
    size_t left = length - offset;
    uint32_t recLen = left >= WISP_RAW_HEADER_SIZE ? Bytes_Load32(rec + 16) : 0;
    if (recLen <= WISP_RAW_HEADER_SIZE || recLen > left) {
      Log("Dropping the rest of a batch: record at offset %zu claims %u of %zu bytes\n", offset,
          recLen, left);
      Stats_Count(STATS_BATCH_CUT_SHORT);
      break;
    }
    // The trace sees every record whose id can be read, before any check;
    // only a record that builds into an observation reaches the agents.
    const char *id = reinterpret_cast<const char *>(rec + WISP_RAW_HEADER_SIZE);
    uint64_t idLen = Bytes_Load32(rec + 24);
    uint64_t fmtLen = Bytes_Load32(rec + 28);
    const char *idEnd = idLen > 0 && WISP_RAW_HEADER_SIZE + idLen + fmtLen <= recLen
                            ? static_cast<const char *>(memchr(id, '\0', idLen))
                            : nullptr;
    if (idEnd != nullptr) {
      Trace_Emit("IN", Bytes_Load64(rec + 8), id, rec + WISP_RAW_HEADER_SIZE + idLen + fmtLen,
                 static_cast<int>(Bytes_Load32(rec + 20)), rec + recLen);
    }
    const char *why = nullptr;
    if (Wisp_CheckRaw(rec, recLen, &why) != 0) {
      Log("Dropping malformed wisp at offset %zu of a batch: %s\n", offset, why);
      Stats_Count(STATS_RECORD_MALFORMED);
      offset += recLen;
      continue;
    }
    Stats_CountRead();
    // The check passes only records whose id ends within it; the scan is
    // for a library that checks less.
    gIdLengths[count] = idEnd != nullptr ? static_cast<size_t>(idEnd - id)
                                         : strnlen(id, recLen - WISP_RAW_HEADER_SIZE);
    gRecords[count++] = {const_cast<uint8_t *>(rec), recLen};
    offset += recLen;
    if (count == kPart) {
      int rc = FanOut(count);
      if (rc != 0) return rc;
      count = 0;
    }
  }
  return count > 0 ? FanOut(count) : 0;
}
