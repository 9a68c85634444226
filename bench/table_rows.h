// Observations by the correlators' table rows, for load.
#pragma once

#include <vector>

#include "wispjson.h"

namespace bench {

// One observation per table row of every registered correlator, with
// arguments of the types the row reads.
std::vector<tools::Json> TableMix();

// Observations of the table rows that read arguments and post nothing when
// the read fails, sent without arguments: each is logged and costs a read,
// and none takes a place in the flare rate window.
std::vector<tools::Json> RowsThatPostNothing();

}  // namespace bench
