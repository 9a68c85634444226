// Reads one snapshot of the daemon's counters from its stats socket.
#pragma once

#include <string>

#include "pelldan/paths.h"

namespace wispstats {

using pelldan::kStatsSocket;

// Connects to path and reads to end of file, giving up after timeoutMs in
// all. False with *why ("cannot connect to PATH: REASON", ...) otherwise.
bool ReadCounters(const std::string &path, int timeoutMs, std::string *text, std::string *why);

}  // namespace wispstats
