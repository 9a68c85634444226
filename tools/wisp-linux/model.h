// The host model the daemon's host library answers from, made from what the
// running system has.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "links.h"

namespace wisplinux {

std::string ModelText(const std::string &systemUuid, const nlohmann::json &advancedOptions,
                      const Inventory &inventory, const nlohmann::json &storage,
                      const nlohmann::json &fileSystems);

}  // namespace wisplinux
