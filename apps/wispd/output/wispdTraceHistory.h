// The trace's recent lines, oldest first, kept in one ring of bytes: the
// dispatcher adds a line per record, and a copy costs less than a string
// made and freed for each.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <string_view>

class TraceHistory {
 public:
  explicit TraceHistory(size_t limit) : limit_(limit) {}
  // Adds the line, then drops the oldest lines until at most the limit is
  // held: a line longer than the limit leaves nothing, and so does any line
  // with a limit of 0. Throws bad_alloc.
  void Add(std::string_view line);
  size_t Bytes() const { return bytes_; }
  // Calls each(bytes) with all lines in order, in at most two pieces.
  template <typename Each>
  void Read(Each each) const {
    size_t first = std::min(bytes_, limit_ - start_);
    if (first > 0) each(std::string_view(ring_.get() + start_, first));
    if (bytes_ > first) each(std::string_view(ring_.get(), bytes_ - first));
  }

 private:
  void DropOldest();

  const size_t limit_;
  std::unique_ptr<char[]> ring_;  // limit_ bytes, made with the first line
  size_t start_ = 0;              // where the oldest line begins
  size_t bytes_ = 0;
  std::deque<uint32_t> lengths_;  // oldest first
};
