// A daemon with hubd under a private root, for the benchmarks.
#pragma once

#include <memory>
#include <string>

#include "sandbox.h"

namespace bench {

struct Daemon {
  explicit Daemon(bool withHubd = true);
  testing_support::Root root;
  std::unique_ptr<testing_support::Process> hubd;
  std::unique_ptr<testing_support::Process> wispd;
};

}  // namespace bench
