// Telling when a running daemon has consumed everything it was sent.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace bench {

// True once the daemon's main thread has been idle in poll and all of its
// pipes have been empty for a few consecutive samples.
bool WaitDrained(pid_t pid, int timeoutMs = 60000);
// Resident set size of a process in KiB.
int64_t ResidentKiB(pid_t pid);

// A syslog collector that only counts: the daemon's log records are
// delivered, as on a host, at no more cost to the run than reading them.
class LogDrain {
 public:
  explicit LogDrain(const std::string &path);
  ~LogDrain();
  long Records() const { return records_; }

 private:
  int fd_;
  std::string path_;
  std::atomic<bool> stop_{false};
  std::atomic<long> records_{0};
  std::thread thread_;
};

}  // namespace bench
