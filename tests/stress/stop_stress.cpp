// Many stop-under-load trials; prints the tally. Not part of the test suite:
//   stop_stress [TRIALS [SEED [MAX_DELAY_MS]]]
#include <stdio.h>
#include <stdlib.h>

#include "stop_trial.h"

int main(int argc, char **argv) {
  int trials = argc > 1 ? atoi(argv[1]) : 1000;
  unsigned seed = argc > 2 ? static_cast<unsigned>(strtoul(argv[2], nullptr, 10)) : 1;
  int maxDelay = argc > 3 ? atoi(argv[3]) : 300;
  testing_support::StopTally t = testing_support::StopUnderLoad(
      trials, seed, maxDelay,
      [](const std::string &line) { fprintf(stderr, "%s\n", line.c_str()); });
  printf("trials %d clean %d aborts %d hangs %d other %d\n", t.trials, t.clean, t.aborts, t.hangs,
         t.other);
  return t.clean == t.trials ? 0 : 1;
}
