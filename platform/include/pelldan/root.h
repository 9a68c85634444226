// Every absolute path of the host goes through here, so that a whole host can
// live under one directory (WISPD_ROOT).
#pragma once

#include <string>

namespace pelldan {

// path under $WISPD_ROOT when that is set. A root that is set but empty or
// relative names no directory: every path then comes back empty, so a
// program that forgot RootProblem still never touches the host's own paths.
std::string RootPath(const std::string &path);

// Why $WISPD_ROOT cannot be used (empty when unset, or an absolute path to
// an existing directory; mustExist false also accepts one still to create).
std::string RootProblem(bool mustExist = true);

}  // namespace pelldan
