// Plays a scenario against the real daemon and gathers what came of it.
#pragma once

#include <string>
#include <vector>

#include "scenario.h"

namespace scenario {

struct Received {
  int64_t at;                // seconds from the start when hubd had it
  tools::Json line;          // hubd's JSON line
  std::string Text() const;  // "[id] message"
};

// One observation step as the daemon saw it.
struct Delivery {
  const Step *step;
  std::vector<std::string> woken;  // the correlator threads it woke
};

struct Outcome {
  std::string failure;  // the run ended early: why, with the log's last lines
  std::vector<Received> flares;
  std::vector<std::string> log;      // the collector's lines
  std::vector<std::string> trace;    // the trace client's lines
  std::vector<std::string> actions;  // the host's action journal
  std::vector<Delivery> deliveries;
  std::string root;  // the sandbox, when kept
};

struct RunOptions {
  std::string binDir;
  std::string faketimeLib;
  bool keep = false;
};

Outcome Run(const Scenario &sc, const RunOptions &opt);

}  // namespace scenario
