// Whether typed arguments fit an observation's message format, so that a
// producer finds a mistake before the daemon renders it.
#pragma once

#include <string>
#include <vector>

#include "wispjson.h"

namespace tools {

// False with a reason naming the first conversion that has no argument,
// takes another type, or is not one the host formats.
bool ArgsFitFormat(const std::string &format, const std::vector<Arg> &args, std::string *why);

}  // namespace tools
