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

ssize_t SendRecord(int fd, const std::string &record, const struct sockaddr_un &addr) {
  return sendto(fd, record.data(), record.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                reinterpret_cast<const struct sockaddr *>(&addr), sizeof addr);
}

}  // namespace

extern "C" void Syslog_VWrite(int priority, const char *format, va_list ap) {
  int fd = LogSocket();
  if (fd < 0) return;

  char head[128];
  time_t now = time(nullptr);
  struct tm tmv;
  char stamp[32] = "";
  if (localtime_r(&now, &tmv) != nullptr) strftime(stamp, sizeof stamp, "%b %e %T", &tmv);
  if ((priority & LOG_FACMASK) == 0) priority |= LOG_USER;
  int headLen = snprintf(head, sizeof head, "<%d>%s %s[%d]: ", priority, stamp,
                         program_invocation_short_name, static_cast<int>(getpid()));
  if (headLen < 0) return;

  std::string record(head, static_cast<size_t>(headLen));
  va_list copy;
  va_copy(copy, ap);
  int need = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (need < 0) return;
  size_t bodyLen = static_cast<size_t>(need);
  record.resize(record.size() + bodyLen + 1);
  vsnprintf(&record[static_cast<size_t>(headLen)], bodyLen + 1, format, ap);
  record.pop_back();
  if (record.size() > kMaxRecord) record.resize(kMaxRecord);

  std::string path = pelldan::RootPath(pelldan::kSyslogSocket);
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) return;
  memcpy(addr.sun_path, path.c_str(), path.size() + 1);

  // A collector that falls behind costs a few milliseconds, never a hang.
  for (int attempt = 0; attempt < 200; ++attempt) {
    if (SendRecord(fd, record, addr) >= 0) return;
    if (errno != EAGAIN && errno != ENOBUFS && errno != EINTR) {
      // Reopen (when our descriptor is what failed) and try once more, as
      // the C library does; the next line tries afresh either way.
      if (errno == EBADF || errno == ENOTSOCK) fd = LogSocket(fd);
      if (fd >= 0) SendRecord(fd, record, addr);
      return;
    }
    struct timespec pause = {0, 1000000};
    nanosleep(&pause, nullptr);
  }
}
