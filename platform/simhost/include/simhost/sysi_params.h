// Parameter lists of sysinfo requests.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

struct Sysi_ParamList {
  std::vector<std::variant<std::string, int64_t>> params;
};
