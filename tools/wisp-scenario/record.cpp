#include "record.h"

#include <errno.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <limits>
#include <set>
#include <vector>

#include "known_ids.h"
#include "wispjson.h"

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

struct TraceLine {
  double wall;
  bool in;
  uint64_t ts;
  std::string id;
  tools::Json args = tools::Json::array();
  bool exact = true;  // every argument kept its value
};

// Splits "a,\"b,\"\"c\",d" into fields, undoing the doubled quotes; quoted
// fields keep a leading quote as their marker.
std::vector<std::string> Fields(const std::string &line) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i <= line.size()) {
    std::string f;
    if (i < line.size() && line[i] == '"') {
      f = "\"";
      ++i;
      while (i < line.size()) {
        if (line[i] == '"') {
          if (i + 1 < line.size() && line[i + 1] == '"') {
            f += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        f += line[i++];
      }
    }
    size_t comma = line.find(',', i);
    if (comma == std::string::npos) comma = line.size();
    f += line.substr(i, comma - i);
    out.push_back(f);
    i = comma + 1;
  }
  return out;
}

// The narrowest argument kind that holds a traced number.
bool Number(const std::string &f, tools::Json *item) {
  bool neg = !f.empty() && f[0] == '-';
  if (f.size() < (neg ? 2u : 1u) || f.size() > 20) return false;
  for (size_t i = neg ? 1 : 0; i < f.size(); ++i)
    if (f[i] < '0' || f[i] > '9') return false;
  errno = 0;
  if (neg) {
    long long v = strtoll(f.c_str(), nullptr, 10);
    if (errno == ERANGE) return false;
    *item = v >= std::numeric_limits<int32_t>::min() ? tools::Json{{"i32", v}}
                                                     : tools::Json{{"i64", v}};
    return true;
  }
  unsigned long long v = strtoull(f.c_str(), nullptr, 10);
  if (errno == ERANGE) return false;
  if (v <= static_cast<unsigned long long>(std::numeric_limits<int32_t>::max()))
    *item = {{"i32", v}};
  else if (v <= std::numeric_limits<uint32_t>::max())
    *item = {{"u32", v}};
  else
    *item = {{"u64", v}};
  return true;
}

bool ParseLine(const std::string &text, TraceLine *t) {
  std::vector<std::string> f = Fields(text);
  if (f.size() < 5 || (f[1] != "IN" && f[1] != "OUT") || !f[4].empty()) return false;
  try {
    t->wall = std::stod(f[0]);
    t->ts = std::stoull(f[2]);
  } catch (const std::exception &) {
    return false;
  }
  if (!(t->wall >= 0 && t->wall < 1e11)) return false;  // NaN too
  t->in = f[1] == "IN";
  t->id = f[3];
  if (t->id.empty()) return false;
  // With no arguments the line ends in the empty field.
  for (size_t i = 5; i < f.size(); ++i) {
    tools::Json item;
    if (!f[i].empty() && f[i][0] == '"') {
      std::string s = f[i].substr(1);
      item = s == "(null)" ? tools::Json{{"s", nullptr}} : tools::Json{{"s", s}};
    } else if (!Number(f[i], &item)) {
      t->exact = false;  // ",???": a kind the trace cannot show
      continue;
    }
    t->args.push_back(item);
  }
  return true;
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
    if (ParseLine(text, &t)) lines.push_back(t);
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
