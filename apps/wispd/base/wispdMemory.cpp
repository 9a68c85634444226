#include "base/wispdMemory.h"

#include <atomic>

#include "base/wispdClock.h"
#include "base/wispdLog.h"
#include "base/wispdStats.h"

namespace {

constexpr int64_t kEpisodeGapNanos = 60LL * 1000000000;

// Steady nanoseconds of the last failure; 0 before the first.
std::atomic<int64_t> gLast{0};

}  // namespace

void Memory_Failed(const char *where) {
  Stats_Count(STATS_ALLOC_FAILED);
  int64_t now = Clock_Get().SteadyNanos();
  int64_t last = gLast.exchange(now);
  if (last != 0 && now - last < kEpisodeGapNanos) return;
  Log("Out of memory in %s; carrying on (%llu allocation failures so far).\n", where,
      static_cast<unsigned long long>(Stats_Get(STATS_ALLOC_FAILED)));
}
