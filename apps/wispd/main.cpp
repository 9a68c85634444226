#include <errno.h>
#include <stdio.h>

#include <string>

#include "pelldan/root.h"
#include "wispdMain.h"

int main(int argc, char **argv) {
  std::string problem = pelldan::RootProblem();
  if (!problem.empty()) {
    fprintf(stderr, "wispd: %s\n", problem.c_str());
    return EINVAL;
  }
  return Wispd_Main(argc, argv);
}
