// A flare's arguments packed in one string, as an alert keeps them: a short
// list stays inside the string itself, with no allocation of its own.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "flare_line.h"

namespace wispalert {

std::string PackArgValues(const std::vector<ArgValue> &values);
std::vector<ArgValue> UnpackArgValues(std::string_view packed);

// One value as packed, its text pointing into the packed string.
struct PackedArg {
  bool isString = false;
  bool absent = false;
  std::string_view text;
  bool negative = false;
  uint64_t magnitude = 0;
};
// The value at *at, *at then past it; false at the end.
bool NextPackedArg(std::string_view packed, size_t *at, PackedArg *arg);

}  // namespace wispalert
