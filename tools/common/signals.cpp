#include "signals.h"

#include <string.h>

namespace tools {
namespace {
volatile sig_atomic_t gStop = 0;
void OnSignal(int) {
  gStop = 1;
}
}  // namespace

volatile sig_atomic_t *StopOnSignals() {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnSignal;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  return &gStop;
}

}  // namespace tools
