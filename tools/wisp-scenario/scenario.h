// A scenario: a host, timed steps and what must (and must not) come of them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "wispjson.h"

namespace scenario {

// The longest run a scenario may ask for ("at", "by", "end"): a host
// year of 366 days. The daemon's timers wake it at least once a host minute,
// and each wake-up is a step of real time, so anything longer is a slip of
// the keyboard rather than a test.
constexpr int64_t kMaxHostSeconds = 366 * 86400;

struct Step {
  enum Kind { kObserve, kHost, kHubdDown, kHubdUp, kRestart };
  Kind kind;
  int64_t at;                    // seconds from the start, host time
  int line;                      // in the scenario file
  int ctx = 0;                   // kernel context 0..23, or kUserCtx
  std::string bytes;             // kObserve: the batch as sent
  std::string id;                // kObserve: the first observation's id
  std::vector<std::string> ids;  // kObserve: every observation's id, in order
  std::string hostJson;          // kHost: the whole new model
};

constexpr int kUserCtx = -1;

// A flare that must arrive (or, with must == false, must not).
struct FlareExpectation {
  int line;
  bool must = true;
  std::string id;
  bool hasMessage = false;
  std::string message;
  bool hasArgs = false;
  tools::Json args;  // hubd's argument items
  int64_t by = -1;   // at the latest this many seconds from the start; -1: any time
  std::string Describe() const;
};

struct LogExpectation {
  int line;
  std::string text;
};

struct Scenario {
  std::string file;
  std::string name;
  std::string hostJson;        // empty: no model file
  int64_t start = 1796428800;  // host clock at time 0: 2026-12-05 00:00:00 UTC
  int64_t end = 0;             // run until this time; timers due before it fire
  bool onlyThese = false;      // no flares but the expected ones
  std::vector<Step> steps;
  std::vector<FlareExpectation> flares;
  std::vector<LogExpectation> logs;
  std::vector<LogExpectation> actions;    // lines of the host's action journal
  std::vector<LogExpectation> noActions;  // texts no line of the journal may hold
};

// Reads a scenario file; false with "FILE:LINE: what is wrong" in *error
// (several such lines for ids the daemon does not know, one per id).
bool Parse(const std::string &path, Scenario *out, std::string *error);

}  // namespace scenario
