// The tools end cleanly on SIGTERM and SIGINT and reopen files on SIGHUP.
#pragma once

#include <signal.h>

namespace tools {

// Installs handlers for SIGTERM and SIGINT (without SA_RESTART, so blocking
// calls return EINTR) that set the returned flag.
volatile sig_atomic_t *StopOnSignals();
// Likewise for SIGHUP; the caller clears the flag once it has reopened.
volatile sig_atomic_t *ReopenOnHangup();

}  // namespace tools
