// Failures the simulated host cannot hand back in a status alone: the path
// and the reason go to standard error and to the host's syslog.
#pragma once

namespace simhost {

void Report(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace simhost
