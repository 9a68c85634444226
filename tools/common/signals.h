// The tools end cleanly on SIGTERM and SIGINT and reopen files on SIGHUP.
#pragma once

#include <poll.h>
#include <signal.h>

namespace tools {

// Installs handlers for SIGTERM and SIGINT (without SA_RESTART, so blocking
// calls return EINTR) that set the returned flag.
volatile sig_atomic_t *StopOnSignals();
// Likewise for SIGHUP; the caller clears the flag once it has reopened.
volatile sig_atomic_t *ReopenOnHangup();
// poll(), with those signals let in only during the wait: one that comes
// after the caller looked at its flags but before the wait began ends the
// wait (EINTR) instead of waiting for the next event. Returns 0 at once
// when a flag is already set. For single-threaded tools.
int PollSignals(struct pollfd *fds, nfds_t count, int timeoutMs);

}  // namespace tools
