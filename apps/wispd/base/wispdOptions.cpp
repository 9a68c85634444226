#include "base/wispdOptions.h"

#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>

namespace {

const struct option kLongOptions[] = {
    {"enablewisps", no_argument, nullptr, 'e'},
    {"help", no_argument, nullptr, 'h'},
    {"loglevel", required_argument, nullptr, 'l'},
    {"test", no_argument, nullptr, 't'},
    {nullptr, 0, nullptr, 0},
};

[[noreturn]] void Usage(const char *program, const char *note) {
  printf("Usage: %s [options]\n", program);
  printf("valid options are:\n");
  printf("\t--help|-h - display this help\n");
  if (note != nullptr) fputs(note, stdout);
  fflush(stdout);
  exit(0);
}

}  // namespace

void Wispd_ParseOptions(int argc, char **argv, bool *asyncEnable, const char *usageNote) {
  if (argc <= 1) return;
  int c;
  while ((c = getopt_long(argc, argv, "ehl:t", kLongOptions, nullptr)) != -1) {
    if (c != 'e') Usage(argv[0], usageNote);
    *asyncEnable = true;
  }
}
