// What a scenario may send: every correlator with its groups, and each
// observation id it takes with the arguments it reads and the flare it posts.
#pragma once

#include <ostream>

namespace scenario {

void ListObservations(std::ostream &out);

}  // namespace scenario
