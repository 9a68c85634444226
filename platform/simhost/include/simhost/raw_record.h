// Field offsets of a raw observation record (little-endian).
#pragma once

#include <cstddef>

namespace simhost {

constexpr size_t kRawTimestamp = 8;
constexpr size_t kRawLength = 16;
constexpr size_t kRawArgCount = 20;
constexpr size_t kRawIdLength = 24;
constexpr size_t kRawFormatLength = 28;
constexpr size_t kRawId = 32;

}  // namespace simhost
