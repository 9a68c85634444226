// Turning a failure asked for in the host model into the library's exception.
#pragma once

#include <string>

namespace simhost {

// Throws HostCtl::Lib::HostCtlException when the model makes call fail.
void ThrowIfFailing(const std::string &call);

}  // namespace simhost
