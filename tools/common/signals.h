// The tools end cleanly on SIGTERM and SIGINT.
#pragma once

#include <signal.h>

namespace tools {

// Installs handlers for SIGTERM and SIGINT (without SA_RESTART, so blocking
// calls return EINTR) that set the returned flag.
volatile sig_atomic_t *StopOnSignals();

}  // namespace tools
