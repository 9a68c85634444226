// Whole numbers seven bits a byte, low bits first: a length below 128 takes
// one byte, so that a short value and its length stay inside a string
// small enough to need no allocation of its own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace wispalert {

inline void AppendVarint(std::string *out, uint64_t n) {
  for (; n >= 0x80; n >>= 7) out->push_back(static_cast<char>(0x80 | (n & 0x7f)));
  out->push_back(static_cast<char>(n));
}

// The number at *at, *at then past it; false when the text ends inside it
// (*n then holds what was read).
inline bool ReadVarint(std::string_view in, size_t *at, uint64_t *n) {
  *n = 0;
  for (unsigned shift = 0; *at < in.size() && shift < 64; shift += 7) {
    unsigned char c = static_cast<unsigned char>(in[(*at)++]);
    *n |= static_cast<uint64_t>(c & 0x7f) << shift;
    if ((c & 0x80) == 0) return true;
  }
  return false;
}

}  // namespace wispalert
