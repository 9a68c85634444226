// The daemon's flares as the build extracted them (flarecat), for lookups at
// run time and for checks of our own tables while they compile.
#pragma once

#include <iterator>
#include <string_view>

#include "flare_catalogue.h"

namespace wispalert {

constexpr std::string_view kProblemPrefix = "tarn.problem.";
constexpr std::string_view kAuditPrefix = "tarn.audit.";
constexpr std::string_view kClearPrefix = "tarn.clear.";

// The index of an id in the catalogue, -1 for one no source of the daemon
// posts. (Checks that compile use this: with GCC's sanitizers a pointer
// compared with null is not a constant.)
constexpr int FlareIndex(std::string_view id) {
  for (int i = 0; i < static_cast<int>(std::size(flarecat::kFlares)); ++i)
    if (id == flarecat::kFlares[i].id) return i;
  return -1;
}

// NULL for an id no source of the daemon posts.
inline const flarecat::Flare *FindFlare(std::string_view id) {
  int i = FlareIndex(id);
  return i < 0 ? nullptr : &flarecat::kFlares[i];
}

}  // namespace wispalert
