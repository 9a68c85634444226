#include "intake/wispdRoutes.h"

#include <string.h>

#include <new>

namespace {

// Eight bytes at a step: the hash is computed for every record, and the
// slot's id is compared after it all the same.
uint64_t Hash(const char *id, size_t length) {
  uint64_t h = length * 0x9e3779b97f4a7c15ULL;
  size_t at = 0;
  for (uint64_t word; at + 8 <= length; at += 8) {
    memcpy(&word, id + at, 8);
    h = (h ^ word) * 0xff51afd7ed558ccdULL;
    h ^= h >> 32;
  }
  uint64_t tail = 0;
  for (size_t i = 0; at + i < length; ++i)
    tail |= uint64_t{static_cast<unsigned char>(id[at + i])} << (8 * i);
  h = (h ^ tail) * 0xff51afd7ed558ccdULL;
  return h ^ (h >> 32);
}

}  // namespace

// The slot that holds the id, or the free one where it would go; the table
// is never more than three quarters full, so the probe ends.
size_t RouteCache::SlotOf(const char *id, size_t length, uint64_t hash) const {
  for (size_t at = hash & (kSlots - 1);; at = (at + 1) & (kSlots - 1)) {
    const Slot &s = slots_[at];
    if (s.generation != generation_) return at;
    if (s.hash == hash && s.length == length && memcmp(s.id, id, length) == 0) return at;
  }
}

const uint64_t *RouteCache::Find(const char *id, size_t length) const {
  if (length > kIdMax || slots_ == nullptr) return nullptr;
  const Slot &s = slots_[SlotOf(id, length, Hash(id, length))];
  return s.generation == generation_ ? &s.streams : nullptr;
}

void RouteCache::Put(const char *id, size_t length, uint64_t streams) {
  if (length > kIdMax) return;
  if (slots_ == nullptr) {
    slots_.reset(new (std::nothrow) Slot[kSlots]());
    if (slots_ == nullptr) return;
  }
  // A producer that sends ever new ids only makes the table start over.
  if (used_ >= kSlots / 4 * 3) Clear();
  uint64_t hash = Hash(id, length);
  Slot &s = slots_[SlotOf(id, length, hash)];
  if (s.generation != generation_) ++used_;
  s.generation = generation_;
  s.length = static_cast<uint32_t>(length);
  s.hash = hash;
  s.streams = streams;
  memcpy(s.id, id, length);
}

void RouteCache::Clear() {
  used_ = 0;
  // After four billion clears a stale slot could pass for current.
  if (++generation_ == 0) {
    for (size_t i = 0; slots_ != nullptr && i < kSlots; ++i) slots_[i].generation = 0;
    generation_ = 1;
  }
}
