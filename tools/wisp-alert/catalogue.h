// The daemon's flares as the build extracted them (flarecat), for lookups at
// run time and for checks of our own tables while they compile.
#pragma once

#include <string_view>

#include "flare_catalogue.h"

namespace wispalert {

constexpr std::string_view kProblemPrefix = "tarn.problem.";
constexpr std::string_view kAuditPrefix = "tarn.audit.";
constexpr std::string_view kClearPrefix = "tarn.clear.";

// NULL for an id no source of the daemon posts.
constexpr const flarecat::Flare *FindFlare(std::string_view id) {
  for (const flarecat::Flare &f : flarecat::kFlares)
    if (id == f.id) return &f;
  return nullptr;
}

}  // namespace wispalert
