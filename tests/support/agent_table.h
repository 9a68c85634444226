// The daemon's correlators as its agent table lists them, for tests that
// count or name them: a correlator added to the table needs no test edit.
#pragma once

#include <stddef.h>

#include <string>
#include <vector>

namespace testing_support {

// How many correlators the daemon starts.
size_t CorrelatorCount();
// Each correlator's thread name as the kernel shows it: "<name>Correlator",
// cut to the 15 bytes a thread name holds.
std::vector<std::string> CorrelatorThreadNames();
// Every group a correlator subscribes to, once, in start order.
std::vector<std::string> CorrelatorGroups();

}  // namespace testing_support
