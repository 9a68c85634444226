// Holds the received flares and log lines against the expectations.
#pragma once

#include <string>
#include <vector>

#include "run.h"
#include "scenario.h"

namespace scenario {

struct Check {
  std::string what;  // the expectation, as written
  bool passed;
  std::string detail;  // for a failure: the diff and the explanation
};

std::vector<Check> Evaluate(const Scenario &sc, const Outcome &out);

// Why a flare did not come, or why one came that should not (explain.cpp).
std::string ExplainMissing(const Scenario &sc, const Outcome &out, const FlareExpectation &e);
std::string ExplainUnwanted(const Scenario &sc, const Outcome &out, const Received &r);

}  // namespace scenario
