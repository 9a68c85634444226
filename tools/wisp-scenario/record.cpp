#include "record.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>
#include <vector>

#include "known_ids.h"
#include "scenario.h"
#include "traceline.h"

namespace scenario {

namespace {

// Observations whose handlers read their values by the types of a message
// format (Storage_ReadMessageArgs, or the VM correlator's reads derived from
// the kernel's own message): the trace keeps the values but not the types,
// so a replay may read them differently.
const char *const kReadByMessageFormat[] = {
    "wisp.pageretire.selectedmpnthreshold.host.exceeded",
    "wisp.pageretire.selectedbutnotretired.high",
    "wisp.pageretire.platform.retire.request",
    "wisp.pageretire.mce.injected",
    "wisp.swap.systemSwap.isPDL.removed",
    "wisp.swap.systemSwap.isPDL.cannot.remove",
    "wisp.vm.kill.unexpected.noSwapResponse",
    "wisp.vm.kill.unexpected.vmproc.fault.failure",
    "wisp.vm.kill.unexpected.vmtrack",
    "wisp.vm.kill.unexpected.forcefulPageRetire.64",
    "wisp.vm.kill.unexpected.fault.failure",
};

struct Recorded {
  TraceLine t;
  size_t number;  // the line's number in the trace
  int64_t at;     // IN: the step's second
};

// Where the scenario finds the model: relative to the directory the
// scenario is written to, or absolute when it goes to standard output
// (whose reader may keep it anywhere).
std::string HostPath(const std::string &model, const std::string &scenarioPath) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path abs = fs::weakly_canonical(fs::absolute(model, ec), ec);
  if (scenarioPath.empty()) return abs.string();
  fs::path dir = fs::weakly_canonical(fs::absolute(scenarioPath, ec), ec).parent_path();
  fs::path rel = abs.lexically_relative(dir);
  return rel.empty() ? abs.string() : rel.string();
}

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

bool RecordTrace(const std::string &tracePath, const std::string &hostModel,
                 const std::string &scenarioPath, std::ostream &out, std::string *why) {
  std::ifstream in(tracePath, std::ios::binary);
  if (!in) {
    *why = "cannot read the trace " + tracePath;
    return false;
  }
  if (!hostModel.empty() && !std::ifstream(hostModel)) {
    *why = "cannot read the host model " + hostModel;
    return false;
  }
  std::vector<Recorded> lines;
  std::string text;
  for (size_t number = 1; std::getline(in, text); ++number) {
    Recorded r{TraceLine(), number, 0};
    if (ParseTraceLine(text, &r.t)) lines.push_back(r);
  }
  if (lines.empty()) {
    *why = tracePath + " holds no trace lines";
    return false;
  }
  // Steps at the observations' own time stamps, rounded to the second,
  // from the first observation's; never going back, even when a producer's
  // clock did.
  const Recorded *first = nullptr;
  int64_t last = 0;
  for (Recorded &r : lines) {
    if (!r.t.in) continue;
    if (first == nullptr) first = &r;
    double after = (static_cast<double>(r.t.ts) - static_cast<double>(first->t.ts)) / 1e6;
    if (after > static_cast<double>(kMaxHostSeconds)) {
      *why = tracePath + ":" + std::to_string(r.number) +
             ": the observation's time stamp lies beyond what a run can do after the first "
             "one's (at most " +
             std::to_string(kMaxHostSeconds) + " s)";
      return false;
    }
    last = r.at = std::max(last, static_cast<int64_t>(std::llround(after)));
  }
  // Long enough for the timers the last lines started (settling, deadlines).
  double origin = first != nullptr ? first->t.wall : lines.front().t.wall;
  int64_t end =
      std::max<int64_t>(last, std::llround(std::max(0.0, lines.back().t.wall - origin))) + 5;
  end = std::min(end, kMaxHostSeconds);
  std::set<std::string> inexact, unhandled;
  for (const Recorded &r : lines) {
    if (!r.t.in) continue;
    if (!HandledObservation(r.t.id)) unhandled.insert(r.t.id);
    for (const char *id : kReadByMessageFormat)
      if (r.t.id == id) inexact.insert(r.t.id);
    if (!r.t.exact) inexact.insert(r.t.id);
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
    out << "# In no correlator's table: replayed as \"unhandled\", for the fallbacks:\n";
    for (const std::string &id : unhandled) out << "#   " << id << "\n";
  }
  out << "name: " << Quote("replay of " + tracePath) << "\n";
  if (!hostModel.empty()) out << "host: " << Quote(HostPath(hostModel, scenarioPath)) << "\n";
  size_t steps = 0;
  for (const Recorded &r : lines) steps += r.t.in;
  out << (steps == 0 ? "steps: []\n" : "steps:\n");
  for (const Recorded &r : lines) {
    if (!r.t.in) continue;
    out << "  - at: " << r.at << "\n";
    if (unhandled.count(r.t.id) > 0) out << "    unhandled: true\n";
    out << "    observe: {id: " << Quote(r.t.id)
        << ", args: " << Args(r.t.args) << "}\n";
  }
  out << "end: " << end << "\n";
  size_t outs = 0;
  for (const Recorded &r : lines) outs += !r.t.in;
  out << "expect:\n  only_these: true\n" << (outs == 0 ? "  flares: []\n" : "  flares:\n");
  for (const Recorded &r : lines) {
    if (r.t.in) continue;
    out << "    - id: " << Quote(r.t.id) << "\n      args: " << Args(r.t.args) << "\n";
  }
  return true;
}

}  // namespace scenario
