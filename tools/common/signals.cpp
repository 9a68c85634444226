#include "signals.h"

#include <errno.h>
#include <string.h>

#include <initializer_list>

namespace tools {
namespace {
volatile sig_atomic_t gStop = 0;
volatile sig_atomic_t gHangup = 0;
void OnSignal(int sig) {
  if (sig == SIGHUP)
    gHangup = 1;
  else
    gStop = 1;
}
void Install(int sig) {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnSignal;
  sigaction(sig, &sa, nullptr);
}
}  // namespace

volatile sig_atomic_t *StopOnSignals() {
  Install(SIGTERM);
  Install(SIGINT);
  return &gStop;
}

volatile sig_atomic_t *ReopenOnHangup() {
  Install(SIGHUP);
  return &gHangup;
}

int PollSignals(struct pollfd *fds, nfds_t count, int timeoutMs) {
  sigset_t caught, before;
  sigemptyset(&caught);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&caught, sig);
  // Held off from here, a signal stays pending until ppoll lets it in.
  sigprocmask(SIG_BLOCK, &caught, &before);
  int rc = 0;
  if (!gStop && !gHangup) {
    struct timespec limit = {timeoutMs / 1000, (timeoutMs % 1000) * 1000000L};
    rc = ppoll(fds, count, timeoutMs < 0 ? nullptr : &limit, &before);
  }
  int saved = errno;
  sigprocmask(SIG_SETMASK, &before, nullptr);
  errno = saved;
  return rc;
}

}  // namespace tools
