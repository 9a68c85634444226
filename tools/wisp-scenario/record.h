// Turns a saved trace (wisp-trace's output) into a scenario that replays it.
#pragma once

#include <ostream>
#include <string>

namespace scenario {

// Writes the scenario for the trace at tracePath; hostModel (optional) is
// the host model file it names. False with *why when the trace cannot be
// read or holds no line of the trace's form.
bool RecordTrace(const std::string &tracePath, const std::string &hostModel, std::ostream &out,
                 std::string *why);

}  // namespace scenario
