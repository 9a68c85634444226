// Every absolute path of the host goes through here, so that a whole host can
// live under one directory (WISPD_ROOT).
#pragma once

#include <string>

namespace pelldan {

// path under $WISPD_ROOT when that is set to an absolute directory.
std::string RootPath(const std::string &path);

}  // namespace pelldan
