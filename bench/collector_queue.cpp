#include "collector_queue.h"

#include <sched.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

namespace bench {
namespace {

constexpr const char *kQueueSetting = "/proc/sys/net/unix/max_dgram_qlen";
constexpr int kSystemdQueue = 512;

// The setting of the calling thread's network namespace; 0 if unreadable.
int ReadQueue() {
  int queue = 0;
  std::ifstream(kQueueSetting) >> queue;
  return queue;
}

// The queue the run asks for; 0 for the machine's own.
int WantedQueue() {
  const char *asked = std::getenv("COLLECTOR_QUEUE");
  if (asked == nullptr || *asked == '\0') return kSystemdQueue;
  if (std::strcmp(asked, "host") == 0) return 0;
  int queue = std::atoi(asked);
  return queue > 0 ? queue : kSystemdQueue;
}

}  // namespace

int WithCollectorQueue(const std::function<void()> &make) {
  const int queue = WantedQueue();
  int got = 0;
  // A namespace is the calling thread's from unshare on, and what it makes
  // there (a socket, a child process) keeps it after the thread has gone.
  std::thread([&] {
    if (queue > 0 && unshare(CLONE_NEWNET) == 0) std::ofstream(kQueueSetting) << queue << "\n";
    got = ReadQueue();
    make();
  }).join();
  return got;
}

}  // namespace bench
