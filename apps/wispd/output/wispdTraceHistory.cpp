#include "output/wispdTraceHistory.h"

#include <string.h>

#include <algorithm>

void TraceHistory::DropOldest() {
  start_ = (start_ + lengths_.front()) % limit_;
  bytes_ -= lengths_.front();
  lengths_.pop_front();
}

void TraceHistory::Add(std::string_view line) {
  if (line.size() > limit_ || limit_ == 0) {
    while (!lengths_.empty()) DropOldest();
    start_ = 0;
    return;
  }
  if (ring_ == nullptr) ring_.reset(new char[limit_]);
  lengths_.push_back(static_cast<uint32_t>(line.size()));  // first: it may throw
  while (bytes_ + line.size() > limit_) DropOldest();
  size_t at = (start_ + bytes_) % limit_;
  size_t head = std::min(line.size(), limit_ - at);
  memcpy(ring_.get() + at, line.data(), head);
  memcpy(ring_.get(), line.data() + head, line.size() - head);
  bytes_ += line.size();
}
