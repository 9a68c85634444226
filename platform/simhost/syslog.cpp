// Sends records to the host's /dev/log datagram socket in the C library's
// format: "<PRI>Mmm dd hh:mm:ss ident[pid]: message".
#include "pelldan/syslog.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "pelldan/paths.h"
#include "pelldan/root.h"

extern "C" char *program_invocation_short_name;

namespace {

constexpr size_t kMaxRecord = 65000;

// Made on first use and again after a failure, so a socket() that failed
// once (descriptors ran out) costs the lines of that moment, not the rest
// of the process's life. A socket in use is never closed: another thread
// may be sending on it.
std::atomic<int> gFd{-1};

int LogSocket(int broken = -1) {
  int fd = gFd.load();
  if (fd >= 0 && fd != broken) return fd;
  int fresh = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fresh < 0) return -1;
  if (gFd.compare_exchange_strong(fd, fresh)) return fresh;
  close(fresh);  // another thread was quicker
  return fd;
}

ssize_t SendRecord(int fd, const char *data, size_t size, const struct sockaddr_un &addr) {
  return sendto(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL,
                reinterpret_cast<const struct sockaddr *>(&addr), sizeof addr);
}

// The collector's address for the root in the environment, built again
// only when that root changes; per thread, so no lock is taken.
struct Collector {
  std::string root;  // WISPD_ROOT it was built for
  bool rooted = false;
  bool valid = false;
  struct sockaddr_un addr;
};

const Collector &CollectorFor(const char *root) {
  thread_local Collector c;
  thread_local bool built = false;
  if (built && c.rooted == (root != nullptr) && (root == nullptr || c.root == root)) return c;
  built = true;
  c.rooted = root != nullptr;
  c.root = root != nullptr ? root : "";
  std::string path = pelldan::RootPath(pelldan::kSyslogSocket);
  memset(&c.addr, 0, sizeof c.addr);
  c.addr.sun_family = AF_UNIX;
  c.valid = path.size() < sizeof c.addr.sun_path;
  if (c.valid) memcpy(c.addr.sun_path, path.c_str(), path.size() + 1);
  return c;
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

}  // namespace

extern "C" void Syslog_VWrite(int priority, const char *format, va_list ap) {
  int fd = LogSocket();
  if (fd < 0) return;

  // Formatted once, into this buffer unless the record is longer.
  char small[2048];
  if ((priority & LOG_FACMASK) == 0) priority |= LOG_USER;
  int headLen = snprintf(small, sizeof small, "<%d>%s %s[%d]: ", priority, Stamp(),
                         program_invocation_short_name, static_cast<int>(getpid()));
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
    large.assign(small, static_cast<size_t>(headLen));
    large.resize(size + 1);
    vsnprintf(&large[static_cast<size_t>(headLen)], static_cast<size_t>(need) + 1, format, copy);
    large.pop_back();
    data = large.data();
  }
  va_end(copy);
  if (size > kMaxRecord) size = kMaxRecord;

  const Collector &collector = CollectorFor(getenv("WISPD_ROOT"));
  if (!collector.valid) return;
  const struct sockaddr_un &addr = collector.addr;

  // A collector that falls behind costs a few milliseconds, never a hang.
  for (int attempt = 0; attempt < 200; ++attempt) {
    if (SendRecord(fd, data, size, addr) >= 0) return;
    if (errno != EAGAIN && errno != ENOBUFS && errno != EINTR) {
      // Our descriptor is what failed: reopen and try once more, as the C
      // library does. An absent collector is not asked twice for one line
      // (that doubled the sends of a host without syslog); the next line
      // tries afresh either way.
      if (errno == EBADF || errno == ENOTSOCK) {
        fd = LogSocket(fd);
        if (fd >= 0) SendRecord(fd, data, size, addr);
      }
      return;
    }
    struct timespec pause = {0, 1000000};
    nanosleep(&pause, nullptr);
  }
}
