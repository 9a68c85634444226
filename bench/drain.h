// Telling when a running daemon has consumed everything it was sent.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "sandbox.h"

namespace bench {

// True once the daemon under root has read (or dropped as malformed) at
// least this many observations since it started and, by its own counters,
// every agent waits with nothing unread, twice in a row.
bool WaitDrained(const testing_support::Root &root, uint64_t observations, int timeoutMs = 60000);
// Resident set size of a process in KiB.
int64_t ResidentKiB(pid_t pid);

// A syslog collector that only counts: the daemon's log records are
// delivered, as on a host, at no more cost to the run than reading them.
class LogDrain {
 public:
  explicit LogDrain(const std::string &path);
  ~LogDrain();
  long Records() const { return records_; }
  // CPU time of the thread that reads them, so far, and how often it went
  // to sleep for want of a record.
  double CpuSeconds() const;
  double Sleeps() const;
  // Records its socket holds before a sender waits (collector_queue.h).
  int Queue() const { return queue_; }

 private:
  int fd_ = -1;
  int queue_ = 0;
  clockid_t clock_ = -1;
  std::atomic<int> tid_{0};
  std::string path_;
  std::atomic<bool> stop_{false};
  std::atomic<long> records_{0};
  std::thread thread_;
};

}  // namespace bench
