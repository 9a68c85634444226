#include "evidence.h"

#include <time.h>

#include <cmath>
#include <cstdio>

namespace scenario {

namespace {

// The daemon stamps each log line with its local clock as
// "YYYY-MM-DDTHH:MM:SS.mmmZ: " (the Z notwithstanding); the runner's own
// clock file is local time too, so the two read alike here.
int64_t LogSecond(const std::string &line, int64_t start) {
  struct tm tm = {};
  char t = 0;
  if (sscanf(line.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &t,
             &tm.tm_hour, &tm.tm_min, &tm.tm_sec) != 7 ||
      t != 'T')
    return -1;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  tm.tm_isdst = -1;
  time_t secs = mktime(&tm);
  return secs == static_cast<time_t>(-1) ? -1 : static_cast<int64_t>(secs) - start;
}

}  // namespace

Evidence ReadEvidence(const Scenario &sc, const Outcome &out) {
  Evidence ev;
  for (const std::string &text : out.trace) {
    Evidence::Traced t;
    if (!ParseTraceLine(text, &t.line)) continue;
    t.at = static_cast<int64_t>(std::floor(t.line.wall)) - sc.start;
    ev.trace.push_back(std::move(t));
  }
  for (const std::string &text : out.log) ev.log.push_back({LogSecond(text, sc.start), text});
  return ev;
}

}  // namespace scenario
