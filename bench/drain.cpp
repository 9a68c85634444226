#include "drain.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

namespace bench {
namespace {

// Bytes waiting in all pipes the process holds open.
long PendingInPipes(pid_t pid) {
  std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR *d = opendir(dir.c_str());
  if (d == nullptr) return -1;
  long total = 0;
  while (struct dirent *e = readdir(d)) {
    std::string path = dir + "/" + e->d_name;
    char target[64];
    ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    if (n <= 0) continue;
    target[n] = '\0';
    if (std::string(target).rfind("pipe:", 0) != 0) continue;
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0) continue;
    int pending = 0;
    if (ioctl(fd, FIONREAD, &pending) == 0) total += pending;
    close(fd);
  }
  closedir(d);
  return total;
}

char MainThreadState(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() ? text[close + 2] : '?';
}

}  // namespace

bool WaitDrained(pid_t pid, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  int quiet = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    bool idle = MainThreadState(pid) == 'S' && PendingInPipes(pid) == 0;
    quiet = idle ? quiet + 1 : 0;
    if (quiet >= 3) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(idle ? 2 : 1));
  }
  return false;
}

int64_t ResidentKiB(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string key;
  while (in >> key) {
    if (key == "VmRSS:") {
      int64_t kib = 0;
      in >> kib;
      return kib;
    }
    in.ignore(1 << 20, '\n');
  }
  return -1;
}

LogDrain::LogDrain(const std::string &path) : path_(path) {
  fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
  unlink(path_.c_str());
  bind(fd_, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr);
  int size = 4 << 20;
  setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  // One system call per record, as a collector that keeps up makes; the
  // time-out only lets the thread see the stop.
  struct timeval wait = {0, 50000};
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  thread_ = std::thread([this] {
    char buf[65536];
    while (!stop_)
      if (recv(fd_, buf, sizeof buf, 0) > 0) ++records_;
  });
}

LogDrain::~LogDrain() {
  stop_ = true;
  thread_.join();
  close(fd_);
  unlink(path_.c_str());
}

}  // namespace bench
