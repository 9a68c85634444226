#include "cli.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <iostream>

#include "pelldan/root.h"
#include "pelldan/version.h"

namespace tools {

namespace {

const char *gOutputName = "";

void CheckOutput() {
  // A write that failed earlier left its reason in errno (a success never
  // clears it); a failure now gives a fresh one.
  int earlier = errno;
  errno = 0;
  std::cout.flush();
  fflush(stdout);
  if (!ferror(stdout) && std::cout.good()) return;
  int error = errno != 0 ? errno : earlier != 0 ? earlier : EIO;
  fprintf(stderr, "%s: cannot write standard output: %s\n", gOutputName, strerror(error));
  _exit(1);
}

}  // namespace

void CheckOutputAtExit(const char *name) {
  gOutputName = name;
  atexit(CheckOutput);
}

void RequireRoot(const char *name, bool mustExist) {
  std::string problem = pelldan::RootProblem(mustExist);
  if (problem.empty()) return;
  std::cerr << name << ": " << problem << "\n";
  exit(2);
}

std::string VersionLine(const char *name) {
  return std::string(name) + " " + WISPD_VERSION;
}

void CommonOption(const Tool &tool, int code) {
  if (code == kOptHelp) {
    std::cout << "usage: " << tool.usage << "\n" << tool.help;
    exit(0);
  }
  if (code == kOptVersion) {
    std::cout << VersionLine(tool.name) << "\n";
    exit(0);
  }
  // getopt_long has already named the unknown option or missing value.
  std::cerr << "usage: " << tool.usage << "\n";
  exit(2);
}

void Reject(const Tool &tool, const std::string &reason) {
  std::cerr << tool.name << ": " << reason << "\nusage: " << tool.usage << "\n";
  exit(2);
}

bool OpenInput(const std::string &path, std::ifstream *in, std::string *why) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    *why = "cannot read " + path + ": " + strerror(errno);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    *why = path + " is a directory";
    return false;
  }
  in->open(path);
  if (!*in) {
    *why = "cannot read " + path + ": " + strerror(errno);
    return false;
  }
  return true;
}

bool ParseLong(const char *text, long *value) {
  char *end = nullptr;
  errno = 0;
  long v = strtol(text, &end, 10);
  if (text[0] == '\0' || *end != '\0' || errno != 0) return false;
  *value = v;
  return true;
}

bool ParseSeconds(const char *text, double *value) {
  char *end = nullptr;
  double v = strtod(text, &end);
  if (text[0] == '\0' || *end != '\0' || !std::isfinite(v) || v < 0) return false;
  *value = v;
  return true;
}

}  // namespace tools
