#include "record.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <set>
#include <vector>

#include "known_ids.h"
#include "traceline.h"

namespace scenario {

namespace {

// Observations whose handlers read their values by the types of a message
// format (Storage_ReadMessageArgs): the trace keeps the values but not the
// types, so a replay may read them differently.
const char *const kReadByMessageFormat[] = {
    "wisp.pageretire.selectedmpnthreshold.host.exceeded",
    "wisp.pageretire.selectedbutnotretired.high",
    "wisp.pageretire.platform.retire.request",
    "wisp.pageretire.mce.injected",
    "wisp.swap.systemSwap.isPDL.removed",
    "wisp.swap.systemSwap.isPDL.cannot.remove",
};

// A YAML double-quoted scalar.
std::string Quote(const std::string &s) {
  return tools::Json(s).dump();
}

std::string Args(const tools::Json &args) {
  std::string s = "[";
  for (const tools::Json &item : args) {
    if (s.size() > 1) s += ", ";
    const std::string &kind = item.begin().key();
    const tools::Json &v = item.begin().value();
    s += "{" + kind + ": " + (v.is_string() ? Quote(v.get<std::string>()) : v.dump()) + "}";
  }
  return s + "]";
}

}  // namespace

bool RecordTrace(const std::string &tracePath, const std::string &hostModel, std::ostream &out,
                 std::string *why) {
  std::ifstream in(tracePath, std::ios::binary);
  if (!in) {
    *why = "cannot read the trace " + tracePath;
    return false;
  }
  std::vector<TraceLine> lines;
  std::string text;
  while (std::getline(in, text)) {
    TraceLine t;
    if (ParseTraceLine(text, &t)) lines.push_back(t);
  }
  if (lines.empty()) {
    *why = tracePath + " holds no trace lines";
    return false;
  }
  std::set<std::string> inexact, unhandled;
  for (const TraceLine &t : lines) {
    if (!t.in) continue;
    if (!HandledObservation(t.id)) {
      unhandled.insert(t.id);
      continue;
    }
    for (const char *id : kReadByMessageFormat)
      if (t.id == id) inexact.insert(t.id);
    if (!t.exact) inexact.insert(t.id);
  }
  out << "# Recorded from " << tracePath << " by wisp-scenario --record.\n"
      << "# The trace keeps neither message formats nor contexts nor argument types:\n"
      << "# every observation is sent without a format on context 0, and a number\n"
      << "# gets the narrowest kind that holds it.\n";
  if (!inexact.empty()) {
    out << "# These replay inexact (their handlers read values by a message format's\n"
        << "# types, or an argument's kind was not traced):\n";
    for (const std::string &id : inexact) out << "#   " << id << "\n";
  }
  if (!unhandled.empty()) {
    out << "# Left out, as no correlator handles them (they made no flare):\n";
    for (const std::string &id : unhandled) out << "#   " << id << "\n";
  }
  out << "name: " << Quote("replay of " + tracePath) << "\n";
  if (!hostModel.empty()) out << "host: " << Quote(hostModel) << "\n";
  double first = lines.front().wall;
  size_t ins = 0, steps = 0;
  for (const TraceLine &t : lines) {
    ins += t.in;
    steps += t.in && unhandled.count(t.id) == 0;
  }
  out << (steps == 0 ? "steps: []\n" : "steps:\n");
  int64_t last = 0;  // steps never go back, even when the trace's clock did
  for (const TraceLine &t : lines) {
    if (!t.in || unhandled.count(t.id) > 0) continue;
    last = std::max(last, static_cast<int64_t>(t.wall - first));
    out << "  - at: " << last << "\n    observe: {id: " << Quote(t.id) << ", args: " << Args(t.args)
        << "}\n";
  }
  // Long enough for the timers the last lines started (settling, deadlines).
  out << "end: " << std::max<int64_t>(0, static_cast<int64_t>(lines.back().wall - first)) + 5
      << "\n";
  out << "expect:\n  only_these: true\n"
      << (ins == lines.size() ? "  flares: []\n" : "  flares:\n");
  for (const TraceLine &t : lines) {
    if (t.in) continue;
    out << "    - id: " << Quote(t.id) << "\n      args: " << Args(t.args) << "\n";
  }
  return true;
}

}  // namespace scenario
