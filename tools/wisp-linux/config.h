// The source's configuration file: which links are NICs, the port groups of
// each bridge or bond, the advanced options the daemon reads, the clock's
// bounds, how many I/O errors are too many and the contexts each family
// uses.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "clockwatch.h"
#include "links.h"
#include "observations.h"
#include "storage.h"

namespace wisplinux {

constexpr char kConfigFile[] = "/etc/pelldan/wisp-linux.json";

struct Config {
  LinkConfig links;
  ClockConfig clock;
  Contexts contexts;
  StorageConfig storage;
  // Group -> name -> integer, as the host model holds them.
  nlohmann::json advancedOptions = {{"Net", {{"LinkFlappingThreshold", 3}}}};
  std::string systemUuid;  // empty: the system's own
};

// Parses a configuration's text; false with *why naming the member at fault.
bool ParseConfig(const std::string &text, Config *config, std::string *why);

}  // namespace wisplinux
