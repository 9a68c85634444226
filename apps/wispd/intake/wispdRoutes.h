// Which streams take an id, remembered by the dispatcher: otherwise every
// record of every batch is tested against every stream's filter, though a
// host sends the same few hundred ids over and over.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <memory>

class RouteCache {
 public:
  // One bit per stream, in registry order; more streams are not cached.
  static constexpr size_t kStreamsMax = 64;
  // Longer ids are tested afresh each time.
  static constexpr size_t kIdMax = 64;

  // The streams that take the id, or nullptr when it is not known.
  const uint64_t *Find(const char *id, size_t length) const;
  void Put(const char *id, size_t length, uint64_t streams);
  // Forgets all: a stream came or went.
  void Clear();

 private:
  static constexpr size_t kSlots = 1024;  // a power of two
  struct Slot {
    uint32_t generation;  // current only when it equals generation_
    uint32_t length;
    uint64_t hash;
    uint64_t streams;
    char id[kIdMax];
  };
  size_t SlotOf(const char *id, size_t length, uint64_t hash) const;

  // Made with the first id, so that the table costs nothing in the binary
  // or before the first batch; without memory nothing is remembered.
  std::unique_ptr<Slot[]> slots_;
  uint32_t generation_ = 1;
  size_t used_ = 0;
};
