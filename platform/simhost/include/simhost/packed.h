// Reading the packed argument layout (docs/packed-arguments.md) safely from
// bytes of any alignment, and formatting messages with typed values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "pellibs/msgfmt.h"

namespace simhost {

// Descriptor fields, relative to the descriptor's first byte.
constexpr size_t kDescType = 0;
constexpr size_t kDescValue = 8;
constexpr size_t kDescStrLen = 16;

inline uint32_t LoadU32(const uint8_t *p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline uint64_t LoadU64(const uint8_t *p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void StoreU32(uint8_t *p, uint32_t v) {
  std::memcpy(p, &v, sizeof v);
}
inline void StoreU64(uint8_t *p, uint64_t v) {
  std::memcpy(p, &v, sizeof v);
}

inline bool IsKnownType(uint32_t type) {
  return type == MSGFMT_INT32 || type == MSGFMT_INT64 || type == MSGFMT_UINT32 ||
         type == MSGFMT_UINT64 || type == MSGFMT_STRING;
}

// One argument as a formatter sees it.
struct Value {
  uint32_t type = 0;
  uint64_t bits = 0;          // integers: the value, sign-extended for signed types
  const char *str = nullptr;  // strings: NULL when absent
};

// Integer value of a descriptor, widened as its type says.
uint64_t WidenedBits(uint32_t type, uint64_t raw);

// Checks a swizzled set inside [args, end) and resolves it. On a fault returns
// false with *why naming it.
bool ResolveSwizzled(const uint8_t *args, uint64_t count, const uint8_t *end,
                     std::vector<Value> *out, const char **why);  // out may be NULL

// printf-style formatting that takes each conversion's value from the next
// typed argument; never trusts the format (see docs/packed-arguments.md).
std::string FormatMessage(const char *format, const Value *values, size_t count);

}  // namespace simhost
