// One line of the daemon's trace ("time,IN|OUT,ts,id,,arg,..."), as the
// recorder replays it and the explanations read it.
#pragma once

#include <cstdint>
#include <string>

#include "wispjson.h"

namespace scenario {

struct TraceLine {
  double wall;  // the daemon's clock when it wrote the line
  bool in;      // an observation read (IN) or a flare built (OUT)
  uint64_t ts;  // the record's own time stamp, microseconds
  std::string id;
  tools::Json args = tools::Json::array();  // hubd's item forms, numbers narrowest
  bool exact = true;                        // every argument kept its value
};

// False for a line of another form.
bool ParseTraceLine(const std::string &text, TraceLine *t);

}  // namespace scenario
