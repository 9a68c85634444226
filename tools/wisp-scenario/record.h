// Turns a saved trace (wisp-trace's output) into a scenario that replays it.
#pragma once

#include <ostream>
#include <string>

namespace scenario {

// Writes the scenario for the trace at tracePath; hostModel (optional) is
// the host model file it names, by a path relative to scenarioPath's
// directory (where the scenario is written), or absolute when that is
// empty. False with *why when the trace or the model cannot be read or the
// trace holds no line of the trace's form.
bool RecordTrace(const std::string &tracePath, const std::string &hostModel,
                 const std::string &scenarioPath, std::ostream &out, std::string *why);

}  // namespace scenario
