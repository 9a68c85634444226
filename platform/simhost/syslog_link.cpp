#include "syslog_link.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string>

#include "pelldan/paths.h"
#include "pelldan/root.h"

extern "C" char *program_invocation_short_name;

namespace simhost::logsend {

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
// Monotonic milliseconds of the last record the collector took, and of the
// last wait for room on a stopped collector that ran out.
std::atomic<int64_t> gLastTaken{0};
std::atomic<int64_t> gGaveUp{-1};
namespace {

std::atomic<int> gPid{0};
// The turn to wait for room, and how many records wait for it: while any
// does, a new record queues behind them rather than take the room they wait
// for.
std::mutex gTurn;
std::atomic<int> gWaiting{0};
struct Waiting {
  Waiting() { ++gWaiting; }
  ~Waiting() { --gWaiting; }
};

}  // namespace

// Waits for room in the collector's queue, and the time they took: what a
// slow collector costs the threads that log. Counted as a wait starts, its
// time added as it ends; the clock is read only on this slow path.
std::atomic<uint64_t> gRoomWaits{0};
std::atomic<uint64_t> gRoomWaitNs{0};

int LogSocket(int broken) {
  int fd = gFd.load();
  if (fd >= 0 && fd != broken) return fd;
  int fresh = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fresh < 0) return -1;
  // A send that may wait (only the outbox's) waits this long for room.
  struct timeval wait = {0, kRoomWaitMs * 1000};
  setsockopt(fresh, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
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
  return static_cast<int64_t>(NowNs() / 1000000);
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

namespace {

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

}  // namespace

int64_t RoomDeadline(int64_t now, bool *stopped) {
  int64_t last = gLastTaken.load();
  int64_t until = std::max(now + kRoomWaitMs, last + kPatienceMs);
  *stopped = until == now + kRoomWaitMs;
  return *stopped && gGaveUp.load() > last ? now : until;
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
  bool stopped = false;
  int64_t until = RoomDeadline(start, &stopped);
  if (until == start) return false;
  if (stopped) {
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

namespace {

// "<PRI>Mmm dd hh:mm:ss ident[pid]: " of the second given.
int FormatHead(char *buf, size_t size, time_t now, int priority, int pid) {
  struct tm tmv;
  char stamp[32] = "";
  if (localtime_r(&now, &tmv) != nullptr) strftime(stamp, sizeof stamp, "%b %e %T", &tmv);
  return snprintf(buf, size, "<%d>%s %s[%d]: ", priority, stamp, program_invocation_short_name,
                  pid);
}

}  // namespace

// Formatted once a second per thread and priority: localtime_r takes a
// process-wide lock, and every record has a head.
int Head(char *buf, size_t size, int priority) {
  thread_local time_t lastSec = -1;
  thread_local int lastPriority = -1;
  thread_local char head[128];
  thread_local int headLen = -1;
  int pid = gPid.load();
  if (pid == 0) gPid = pid = static_cast<int>(getpid());
  time_t now = time(nullptr);
  if (now != lastSec || priority != lastPriority) {
    headLen = FormatHead(head, sizeof head, now, priority, pid);
    lastSec = now;
    lastPriority = priority;
  }
  // A name too long to keep: formatted for this record alone.
  if (headLen < 0 || static_cast<size_t>(headLen) >= sizeof head)
    return FormatHead(buf, size, now, priority, pid);
  if (size > 0) {
    size_t n = std::min(static_cast<size_t>(headLen), size - 1);
    memcpy(buf, head, n);
    buf[n] = '\0';
  }
  return headLen;
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

}  // namespace simhost::logsend
