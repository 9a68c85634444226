// The ids the daemon knows, so that a misspelt one is refused before a run
// rather than explained after it.
#pragma once

#include <string>

namespace scenario {

// A flare id of the daemon's flare catalogue (the one hubd renders from).
bool KnownFlare(const std::string &id);
// An observation id some correlator has a table row or a handler for; a
// group filter alone does not handle an id.
bool HandledObservation(const std::string &id);

}  // namespace scenario
