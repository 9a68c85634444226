#include "counters.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "simhost/sockets.h"

namespace wispstats {

namespace {

// A snapshot is a few kilobytes; anything far larger is not the daemon's.
constexpr size_t kMaxSnapshot = 1 << 20;

long NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

}  // namespace

bool ReadCounters(const std::string &path, int timeoutMs, std::string *text, std::string *why) {
  struct sockaddr_un addr;
  if (!simhost::MakeUnixAddress(path, &addr)) {
    *why = "cannot connect to " + path + ": " + strerror(ENAMETOOLONG);
    return false;
  }
  // Non-blocking throughout: a daemon that is stuck, or whose backlog is
  // full, costs the time-out and no more.
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0 || connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
    *why = "cannot connect to " + path + ": " + strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  long deadline = NowMs() + timeoutMs;
  text->clear();
  char buf[8192];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0) {
      text->append(buf, static_cast<size_t>(n));
      if (text->size() > kMaxSnapshot) {
        *why = path + " sent more than a snapshot";
        break;
      }
      continue;
    }
    if (n == 0) {
      close(fd);
      return true;
    }
    if (errno == EINTR) continue;
    if (errno != EAGAIN) {
      *why = "cannot read " + path + ": " + strerror(errno);
      break;
    }
    long left = deadline - NowMs();
    struct pollfd p = {fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, static_cast<int>(left)) == 0) {
      *why = path + " sent no complete snapshot in " + std::to_string(timeoutMs) + " ms";
      break;
    }
  }
  close(fd);
  return false;
}

}  // namespace wispstats
