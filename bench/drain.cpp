#include "drain.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "collector_queue.h"
#include "cpu_split.h"

namespace bench {
namespace {

// The daemon's own account of its work, from one counters snapshot.
struct Account {
  uint64_t read = 0, took = 0;
  bool idle = true;  // every running agent waits with nothing unread
};

Account Read(const std::string &text) {
  Account a;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    size_t space = line.rfind(' ');
    if (line.empty() || line[0] == '#' || space == std::string::npos) continue;
    uint64_t value = std::strtoull(line.c_str() + space + 1, nullptr, 10);
    auto is = [&](const char *metric) { return line.rfind(metric, 0) == 0; };
    if (is("wispd_observations_read_total{") || is("wispd_records_dropped_total{")) a.read += value;
    if (is("wispd_agent_observations_total{")) a.took += value;
    if (is("wispd_agent_backlog_bytes{") && value > 0) a.idle = false;
    if (is("wispd_agent_waiting{") && value == 0) a.idle = false;
  }
  return a;
}

}  // namespace

bool WaitDrained(const testing_support::Root &root, uint64_t observations, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  Account before;
  bool seen = false;
  while (std::chrono::steady_clock::now() < deadline) {
    Account now = Read(testing_support::Snapshot(root));
    // Idle twice with nothing taken in between: done.
    if (now.read >= observations && now.idle) {
      if (seen && now.took == before.took) return true;
      seen = true;
      before = now;
    } else {
      seen = false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
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
  queue_ = WithCollectorQueue([this] {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
    unlink(path_.c_str());
    bind(fd_, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr);
  });
  int size = 4 << 20;
  setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  // One system call per record, as a collector that keeps up makes; the
  // time-out only lets the thread see the stop.
  struct timeval wait = {0, 50000};
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  thread_ = std::thread([this] {
    tid_ = static_cast<int>(syscall(SYS_gettid));
    char buf[65536];
    while (!stop_)
      if (recv(fd_, buf, sizeof buf, 0) > 0) ++records_;
  });
  if (pthread_getcpuclockid(thread_.native_handle(), &clock_) != 0) clock_ = -1;
  while (tid_ == 0) std::this_thread::yield();  // its counts are read from now on
}

double LogDrain::Sleeps() const {
  auto threads = ThreadsCpu(static_cast<int>(getpid()));
  auto it = threads.find(tid_.load());
  return it != threads.end() ? it->second.sleeps : 0;
}

double LogDrain::CpuSeconds() const {
  struct timespec t;
  if (clock_ == -1 || clock_gettime(clock_, &t) != 0) return 0;
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

LogDrain::~LogDrain() {
  stop_ = true;
  thread_.join();
  close(fd_);
  unlink(path_.c_str());
}

}  // namespace bench
