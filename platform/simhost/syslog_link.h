// The simulated host's link to its syslog collector: one datagram socket
// connected to it, the collector's pace, the waits for room and the count of
// records it did not take. Shared by the record writers and the outbox.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <atomic>

namespace simhost::logsend {

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

// The socket, and whether it is connected to a collector that was there.
extern std::atomic<int> gFd;
extern std::atomic<bool> gConnected;
// Records dropped in all, and since the last record the collector took.
extern std::atomic<uint64_t> gDropped;
extern std::atomic<uint64_t> gUnreported;
// Monotonic milliseconds of the last record the collector took, and of the
// last wait for room on a stopped collector that ran out.
extern std::atomic<int64_t> gLastTaken;
extern std::atomic<int64_t> gGaveUp;
// Waits for room in the collector's queue, and the time they took.
extern std::atomic<uint64_t> gRoomWaits;
extern std::atomic<uint64_t> gRoomWaitNs;

int64_t NowMs();
inline uint64_t NowNs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

struct RoomWait {
  RoomWait() : start(NowNs()) { gRoomWaits.fetch_add(1, std::memory_order_relaxed); }
  ~RoomWait() { gRoomWaitNs.fetch_add(NowNs() - start, std::memory_order_relaxed); }
  uint64_t start;
};

// When a record that finds no room stops waiting for it (monotonic ms), by
// the collector's pace; *stopped when the collector took nothing for
// kPatienceMs. A stopped collector that a wait already ran out on is not
// waited for again: the deadline is now.
int64_t RoomDeadline(int64_t now, bool *stopped);
// The socket (made again if it is missing or is the broken one given).
int LogSocket(int broken = -1);
// Connects fd to the collector of the root the environment names now.
bool Connect(int fd);
// One send, the collector looked up again once when it was gone.
bool SendOnce(const char *data, size_t size, int *fd);
// One record, waiting for room as the collector's pace allows.
bool Deliver(const char *data, size_t size);
// The record's head, "<PRI>Mmm dd hh:mm:ss ident[pid]: ".
int Head(char *buf, size_t size, int priority);
void Dropped();
// Says how many records were dropped since the collector last took one.
void ReportDropped(int priority);

}  // namespace simhost::logsend
