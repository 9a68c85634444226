// What the simulated host has to say beyond a status (a path and its
// reason, a model it rejected) goes to standard error only: the host's syslog
// carries the daemon's own lines and nothing else.
#pragma once

namespace simhost {

void Report(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace simhost
