// Holds the received flares and log lines against the expectations.
#pragma once

#include <string>
#include <vector>

#include "evidence.h"
#include "run.h"
#include "scenario.h"

namespace scenario {

struct Check {
  std::string what;  // the expectation, as written
  bool passed;
  std::string detail;  // for a failure: the diff and the explanation
};

std::vector<Check> Evaluate(const Scenario &sc, const Outcome &out);

// Argument items compared by value: a replayed trace cannot tell an i32
// from a u32.
bool SameArgs(const tools::Json &want, const tools::Json &got);
// The expectation's message and arguments (not its time) against hubd's line.
bool SameContent(const FlareExpectation &e, const tools::Json &line);

// Why a flare did not come, or why one came that should not (explain.cpp).
// takenBy[i] is the line of the expectation that out.flares[i] satisfied, 0
// for none.
std::string ExplainMissing(const Scenario &sc, const Outcome &out, const Evidence &ev,
                           const FlareExpectation &e, const std::vector<int> &takenBy);
std::string ExplainUnwanted(const Scenario &sc, const Outcome &out, const Evidence &ev,
                            const Received &r);

}  // namespace scenario
