// A flare's arguments packed in one string, as an alert keeps them: a short
// list stays inside the string itself, with no allocation of its own.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "flare_line.h"

namespace wispalert {

std::string PackArgValues(const std::vector<ArgValue> &values);
std::vector<ArgValue> UnpackArgValues(std::string_view packed);

}  // namespace wispalert
