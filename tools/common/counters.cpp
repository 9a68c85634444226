#include "counters.h"

#include <errno.h>
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

}  // namespace

long NowMs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

SnapshotRead::SnapshotRead(const std::string &path, int timeoutMs)
    : path_(path), timeoutMs_(timeoutMs), deadline_(NowMs() + timeoutMs) {
  struct sockaddr_un addr;
  if (!simhost::MakeUnixAddress(path, &addr)) {
    why_ = "cannot connect to " + path + ": " + strerror(ENAMETOOLONG);
    return;
  }
  // Non-blocking throughout: a daemon that is stuck, or whose backlog is
  // full, costs the time-out and no more.
  fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0 || connect(fd_, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
    why_ = "cannot connect to " + path + ": " + strerror(errno);
    End(false);
  }
}

SnapshotRead::~SnapshotRead() {
  if (fd_ >= 0) close(fd_);
}

int SnapshotRead::Left() const {
  long left = deadline_ - NowMs();
  return left > 0 ? static_cast<int>(left) : 0;
}

void SnapshotRead::End(bool ok) {
  ok_ = ok;
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

void SnapshotRead::Step() {
  char buf[8192];
  while (fd_ >= 0) {
    ssize_t n = read(fd_, buf, sizeof buf);
    if (n > 0) {
      text_.append(buf, static_cast<size_t>(n));
      if (text_.size() > kMaxSnapshot) {
        why_ = path_ + " sent more than a snapshot";
        End(false);
      }
    } else if (n == 0) {
      End(true);
    } else if (errno != EINTR && errno != EAGAIN) {
      why_ = "cannot read " + path_ + ": " + strerror(errno);
      End(false);
    } else if (errno == EAGAIN) {
      if (Left() == 0) {
        why_ = path_ + " sent no complete snapshot in " + std::to_string(timeoutMs_) + " ms";
        End(false);
      }
      return;
    }
  }
}

bool ReadCounters(const std::string &path, int timeoutMs, std::string *text, std::string *why) {
  SnapshotRead read(path, timeoutMs);
  while (!read.Done()) {
    struct pollfd p = {read.Fd(), POLLIN, 0};
    poll(&p, 1, read.Left());
    read.Step();
  }
  *text = read.Text();
  *why = read.Why();
  return read.Ok();
}

}  // namespace wispstats
