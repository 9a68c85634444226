// Observations on their way to the daemon. While it is not there (not yet
// started, restarting) or its queue is full they wait, in order, up to a
// bound; past it the oldest are dropped and counted.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "../common/ctxsend.h"
#include "observations.h"

namespace wisplinux {

class Outbox {
 public:
  Outbox(Contexts contexts, size_t bound) : contexts_(contexts), bound_(bound) {}

  // Queues one record per observation; those of one call and one family
  // travel as one batch.
  void Add(const std::vector<Observation> &obs, uint64_t timestampUs);
  // Sends what waits; false when something still waits (retry later).
  bool Flush();
  bool Empty() const { return queue_.empty(); }
  size_t Held() const { return held_; }

  uint64_t Sent(Family family) const { return sent_[static_cast<int>(family)]; }
  uint64_t Dropped() const { return dropped_; }
  // The last reason a send failed ("" after one worked).
  const std::string &Problem() const { return problem_; }

 private:
  struct Batch {
    Family family;
    size_t records;
    std::string bytes;
  };
  Contexts contexts_;
  size_t bound_;
  size_t held_ = 0;  // records queued
  std::deque<Batch> queue_;
  tools::ContextSocket socket_;
  uint64_t sent_[kFamilies] = {};
  uint64_t dropped_ = 0;
  std::string problem_;
};

}  // namespace wisplinux
