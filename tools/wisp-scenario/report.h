// What the runner prints per scenario and writes for CI.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "check.h"

namespace scenario {

struct Report {
  std::string file;
  std::string name;
  double seconds;     // real time the run took
  std::string error;  // the file did not parse
  std::vector<Check> checks;
  bool Passed() const;
};

void Print(const Report &r, std::ostream &out);
// A JUnit XML file: one test suite, one test case per expectation.
bool WriteJunit(const std::vector<Report> &reports, const std::string &path, std::string *why);

}  // namespace scenario
