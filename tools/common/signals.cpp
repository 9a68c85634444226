#include "signals.h"

#include <string.h>

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

}  // namespace tools
