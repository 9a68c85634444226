// A daemon with hubd under a private root, for the benchmarks.
#pragma once

#include <memory>
#include <string>

#include "drain.h"
#include "sandbox.h"

namespace bench {

struct Daemon {
  // withCollector: a syslog collector reads the daemon's log records;
  // without one they are dropped at once, as on a host without syslog.
  explicit Daemon(bool withHubd = true, bool withCollector = false);
  testing_support::Root root;
  std::unique_ptr<testing_support::Process> hubd;
  std::unique_ptr<testing_support::Process> wispd;
  std::unique_ptr<LogDrain> log;  // withCollector: from the end of start-up
};

}  // namespace bench
