// Sends records to the host's /dev/log datagram socket in the C library's
// format: "<PRI>Mmm dd hh:mm:ss ident[pid]: message".
//
// The socket is connected to the collector, so that a full collector queue
// can be waited for: the kernel wakes a sender polling a connected datagram
// socket the moment the collector reads. The collector's address and the
// process's identity are found once, and again only after a failure.
#include "pelldan/syslog.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "pelldan/paths.h"
#include "pelldan/root.h"

extern "C" char *program_invocation_short_name;

namespace {

constexpr size_t kMaxRecord = 65000;
// How long a record may wait for room in the collector's queue. A collector
// that took a record within kPatienceMs is reading, only slowly (a loaded
// machine): a record waits for it up to that long after its last take. One
// that took nothing for longer has stopped: a record then waits at most
// kRoomWaitMs, and once one has waited that long in vain, the next are tried
// once each without waiting until the collector takes one again, so a
// stopped collector costs the daemon no time and never delays its stop.
constexpr int64_t kRoomWaitMs = 5;
constexpr int64_t kPatienceMs = 250;

// Made on first use and again after a failure, so a socket() that failed
// once (descriptors ran out) costs the lines of that moment, not the rest
// of the process's life. A socket in use is never closed: another thread
// may be sending on it.
std::atomic<int> gFd{-1};
// The socket is connected to a collector that was there.
std::atomic<bool> gConnected{false};
std::atomic<uint64_t> gDropped{0};
// Dropped since the last record the collector took.
std::atomic<uint64_t> gUnreported{0};
std::atomic<int> gPid{0};
// Monotonic milliseconds of the last record the collector took, and of the
// last wait for room on a stopped collector that ran out.
std::atomic<int64_t> gLastTaken{0};
std::atomic<int64_t> gGaveUp{-1};
// The turn to wait for room, and how many records wait for it: while any
// does, a new record queues behind them rather than take the room they wait
// for.
std::mutex gTurn;
std::atomic<int> gWaiting{0};
struct Waiting {
  Waiting() { ++gWaiting; }
  ~Waiting() { --gWaiting; }
};

// Waits for room in the collector's queue, and the time they took: what a
// slow collector costs the threads that log. Counted as a wait starts, its
// time added as it ends; the clock is read only on this slow path.
std::atomic<uint64_t> gRoomWaits{0};
std::atomic<uint64_t> gRoomWaitNs{0};

uint64_t NowNs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

struct RoomWait {
  RoomWait() : start(NowNs()) { gRoomWaits.fetch_add(1, std::memory_order_relaxed); }
  ~RoomWait() { gRoomWaitNs.fetch_add(NowNs() - start, std::memory_order_relaxed); }
  uint64_t start;
};

int LogSocket(int broken = -1) {
  int fd = gFd.load();
  if (fd >= 0 && fd != broken) return fd;
  int fresh = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fresh < 0) return -1;
  if (gFd.compare_exchange_strong(fd, fresh)) {
    gConnected = false;
    return fresh;
  }
  close(fresh);  // another thread was quicker
  return fd;
}

// Connects fd to the collector of the root the environment names now;
// false when there is none (or the path cannot be built).
bool Connect(int fd) {
  try {
    std::string path = pelldan::RootPath(pelldan::kSyslogSocket);
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return false;
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    bool ok = connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) == 0;
    gConnected = ok;
    return ok;
  } catch (...) {
    return false;
  }
}

int64_t NowMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// One send; the collector gone (its socket closed, the path taken by a new
// one, the root changed) is looked up again and asked once more, and so is
// a descriptor that broke. A missing collector is asked once per record.
bool SendOnce(const char *data, size_t size, int *fd) {
  if (send(*fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) return true;
  if (errno == EBADF || errno == ENOTSOCK) {
    *fd = LogSocket(*fd);
    if (*fd < 0 || !Connect(*fd)) return false;
  } else if (errno == ECONNREFUSED || errno == ENOTCONN || errno == EDESTADDRREQ) {
    if (!Connect(*fd)) return false;
  } else {
    return false;
  }
  return send(*fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0;
}

// Polls for room and sends until the deadline; false when it passed.
bool SendByDeadline(const char *data, size_t size, int *fd, int64_t until) {
  for (;;) {
    if (SendOnce(data, size, fd)) {
      gLastTaken = NowMs();
      return true;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != ENOBUFS) return false;
    int64_t left = until - NowMs();
    struct pollfd p = {*fd, POLLOUT, 0};
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) == 0) return false;
  }
}

// Delivers one record, waiting for room as long as the collector's pace
// allows (above); false when the collector did not take it. While the
// collector reads, records that must wait take turns: one thread polls for
// room at a time, so that each record read wakes one sender, not every
// thread that logs; a record whose time ran out while it queued is dropped
// as soon as its turn comes. A collector that has stopped wakes nobody, so
// there each record waits its few milliseconds on its own.
bool Deliver(const char *data, size_t size) {
  int fd = LogSocket();
  if (fd < 0) return false;
  if (!gConnected && !Connect(fd)) return false;
  if (gWaiting.load() == 0) {
    if (SendOnce(data, size, &fd)) {
      gLastTaken = NowMs();
      return true;
    }
    if (errno != EAGAIN && errno != ENOBUFS && errno != EINTR) return false;
  }
  int64_t start = NowMs();
  int64_t until = std::max(start + kRoomWaitMs, gLastTaken.load() + kPatienceMs);
  if (until == start + kRoomWaitMs) {
    if (gGaveUp.load() > gLastTaken.load()) return false;
    RoomWait wait;
    if (SendByDeadline(data, size, &fd, until)) return true;
    gGaveUp = NowMs();
    return false;
  }
  RoomWait wait;
  Waiting waiting;
  std::lock_guard<std::mutex> turn(gTurn);
  return NowMs() < until && SendByDeadline(data, size, &fd, until);
}

// "Mmm dd hh:mm:ss" of the current second, formatted once a second per
// thread (localtime_r takes a process-wide lock).
const char *Stamp() {
  thread_local time_t last = -1;
  thread_local char stamp[32] = "";
  time_t now = time(nullptr);
  if (now != last) {
    struct tm tmv;
    stamp[0] = '\0';
    if (localtime_r(&now, &tmv) != nullptr) strftime(stamp, sizeof stamp, "%b %e %T", &tmv);
    last = now;
  }
  return stamp;
}

int Head(char *buf, size_t size, int priority) {
  int pid = gPid.load();
  if (pid == 0) gPid = pid = static_cast<int>(getpid());
  return snprintf(buf, size, "<%d>%s %s[%d]: ", priority, Stamp(), program_invocation_short_name,
                  pid);
}

void Dropped() {
  ++gDropped;
  ++gUnreported;
}

// Once the collector takes records again, one record says how many it
// did not take before.
void ReportDropped(int priority) {
  uint64_t n = gUnreported.exchange(0);
  if (n == 0) return;
  char record[256];
  int head = Head(record, sizeof record, priority);
  if (head < 0 || static_cast<size_t>(head) >= sizeof record) return;
  int body = snprintf(record + head, sizeof record - static_cast<size_t>(head),
                      "%llu log records were dropped: the log collector did not take them.\n",
                      static_cast<unsigned long long>(n));
  if (body < 0 || !Deliver(record, static_cast<size_t>(head + body))) gUnreported += n;
}

void Write(int priority, const char *format, va_list ap) {
  // Formatted once, into this buffer unless the record is longer.
  char small[2048];
  int headLen = Head(small, sizeof small, priority);
  if (headLen < 0 || static_cast<size_t>(headLen) >= sizeof small) return;
  va_list copy;
  va_copy(copy, ap);
  size_t room = sizeof small - static_cast<size_t>(headLen);
  int need = vsnprintf(small + headLen, room, format, ap);
  if (need < 0) {
    va_end(copy);
    return;
  }
  const char *data = small;
  size_t size = static_cast<size_t>(headLen) + static_cast<size_t>(need);
  std::string large;
  if (static_cast<size_t>(need) >= room) {
    try {
      large.assign(small, static_cast<size_t>(headLen));
      large.resize(size + 1);
    } catch (...) {
      va_end(copy);
      Dropped();  // no memory for a long record
      return;
    }
    vsnprintf(&large[static_cast<size_t>(headLen)], static_cast<size_t>(need) + 1, format, copy);
    large.pop_back();
    data = large.data();
  }
  va_end(copy);
  if (size > kMaxRecord) size = kMaxRecord;
  if (!Deliver(data, size)) {
    Dropped();
    return;
  }
  if (gUnreported.load() != 0) ReportDropped(priority);
}

// A thread's held records, sent with one system call while the collector
// has room for them.
constexpr int kHeldMax = 32;
constexpr size_t kHeldBytes = 16384;
struct Held {
  int count;
  size_t used;
  int priority;  // the last record's, for the count of dropped ones
  struct mmsghdr msgs[kHeldMax];
  struct iovec iov[kHeldMax];
  char bytes[kHeldBytes];
};

void SendHeld(Held *h) {
  int sent = 0;
  bool delivered = false;
  int fd = LogSocket();
  // No collector: it was asked once for all of them.
  bool reachable = fd >= 0 && (gConnected || Connect(fd));
  while (reachable && sent < h->count) {
    if (gWaiting.load() == 0) {
      int n = sendmmsg(fd, h->msgs + sent, static_cast<unsigned>(h->count - sent),
                       MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) {
        gLastTaken = NowMs();
        sent += n;
        delivered = true;
        continue;
      }
    }
    // No room (or another error): this record as one written alone, with
    // its wait and its new look for the collector; then the rest together.
    // One the collector did not take in its time says it takes none now:
    // the rest are dropped with it rather than wait their turn each.
    if (!Deliver(static_cast<const char *>(h->iov[sent].iov_base), h->iov[sent].iov_len)) break;
    delivered = true;
    ++sent;
    fd = LogSocket();
    if (fd < 0) break;
  }
  for (int i = sent; i < h->count; ++i) Dropped();
  h->count = 0;
  h->used = 0;
  if (delivered && gUnreported.load() != 0) ReportDropped(h->priority);
}

// Allocated at a thread's first hold; what it still holds at its exit is
// sent then. The exit is seen through a thread-specific key: registering a
// thread_local's destructor allocates, and fails fatally without memory.
thread_local Held *tHeld = nullptr;
thread_local bool tHolding = false;
pthread_key_t gHeldKey;
bool gHeldKeyMade = false;

void HeldThreadEnds(void *p) {
  Held *h = static_cast<Held *>(p);
  if (h->count > 0) SendHeld(h);
  free(h);
}

void MakeHeldKey() {
  gHeldKeyMade = pthread_key_create(&gHeldKey, HeldThreadEnds) == 0;
}

// Formats the record into the thread's held ones; false when it does not
// fit even alone (it goes out as any other record then).
bool HoldRecord(int priority, const char *format, va_list ap) {
  Held *h = tHeld;
  for (int attempt = 0; attempt < 2; ++attempt) {
    char *at = h->bytes + h->used;
    size_t room = kHeldBytes - h->used;
    int head = Head(at, room, priority);
    if (head >= 0 && static_cast<size_t>(head) < room) {
      va_list copy;
      va_copy(copy, ap);
      int body = vsnprintf(at + head, room - static_cast<size_t>(head), format, copy);
      va_end(copy);
      if (body < 0) return true;  // nothing to send, as for one written alone
      size_t size = static_cast<size_t>(head) + static_cast<size_t>(body);
      if (size < room) {
        h->iov[h->count] = {at, size};
        memset(&h->msgs[h->count], 0, sizeof h->msgs[h->count]);
        h->msgs[h->count].msg_hdr.msg_iov = &h->iov[h->count];
        h->msgs[h->count].msg_hdr.msg_iovlen = 1;
        h->used += size;
        h->priority = priority;
        if (++h->count == kHeldMax) SendHeld(h);
        return true;
      }
    }
    if (h->count == 0) return false;
    SendHeld(h);  // room for it after those
  }
  return false;
}

}  // namespace

extern "C" void Syslog_VWrite(int priority, const char *format, va_list ap) {
  if ((priority & LOG_FACMASK) == 0) priority |= LOG_USER;
  if (tHolding) {
    va_list copy;
    va_copy(copy, ap);
    bool held = HoldRecord(priority, format, copy);
    va_end(copy);
    if (held) return;
  }
  Write(priority, format, ap);
}

extern "C" void Syslog_Hold(void) {
  if (tHeld == nullptr) {
    // Without memory for it, records go out one by one.
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    pthread_once(&once, MakeHeldKey);
    if (!gHeldKeyMade) return;
    Held *h = static_cast<Held *>(malloc(sizeof(Held)));
    if (h == nullptr) return;
    h->count = 0;
    h->used = 0;
    if (pthread_setspecific(gHeldKey, h) != 0) {
      free(h);
      return;
    }
    tHeld = h;
  }
  tHolding = true;
}

extern "C" void Syslog_ReleaseInSignal(void) {
  Held *h = tHeld;
  tHolding = false;
  int fd = gFd.load();
  if (h == nullptr || h->count == 0 || fd < 0) return;
  int n = sendmmsg(fd, h->msgs, static_cast<unsigned>(h->count), MSG_DONTWAIT | MSG_NOSIGNAL);
  h->count = 0;
  (void)n;
}

extern "C" void Syslog_Release(void) {
  tHolding = false;
  if (tHeld != nullptr && tHeld->count > 0) SendHeld(tHeld);
}

extern "C" uint64_t Syslog_DroppedRecords(void) {
  return gDropped.load();
}

extern "C" uint64_t Syslog_RoomWaits(void) {
  return gRoomWaits.load(std::memory_order_relaxed);
}

extern "C" uint64_t Syslog_RoomWaitNanoseconds(void) {
  return gRoomWaitNs.load(std::memory_order_relaxed);
}
