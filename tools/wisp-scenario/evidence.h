// What the daemon's trace and log say happened, each at its host second,
// read once per scenario for the explanations.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "run.h"
#include "scenario.h"
#include "traceline.h"

namespace scenario {

struct Evidence {
  struct Traced {
    int64_t at;  // seconds from the start
    TraceLine line;
  };
  struct Logged {
    int64_t at;  // seconds from the start; -1 when the line has no time stamp
    std::string text;
  };
  std::vector<Traced> trace;
  std::vector<Logged> log;
};

Evidence ReadEvidence(const Scenario &sc, const Outcome &out);

}  // namespace scenario
