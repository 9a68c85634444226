#include "check.h"

#include <algorithm>
#include <cstdlib>
#include <map>

namespace scenario {

namespace {

bool Matches(const FlareExpectation &e, const Received &r) {
  return r.line.value("id", "") == e.id && SameContent(e, r.line) && (e.by < 0 || r.at <= e.by);
}

std::string At(const Received &r) {
  return "at " + std::to_string(r.at) + " s: " + r.Text();
}

// How near a received flare comes to the expectation: its message, then
// each argument that agrees.
int Likeness(const FlareExpectation &e, const tools::Json &line) {
  int score = 0;
  auto m = line.find("message");
  if (e.hasMessage && m != line.end() && *m == e.message) score += 1000;
  auto a = line.find("args");
  if (e.hasArgs && a != line.end() && a->is_array())
    for (size_t i = 0; i < e.args.size() && i < a->size(); ++i)
      score += SameArgs(tools::Json::array({e.args[i]}), tools::Json::array({(*a)[i]}));
  return score;
}

// The received flares of its id, nearest first: by message and arguments,
// then by time from its "by" (the earliest, without one). None of its id:
// all of them, as they came.
std::vector<const Received *> Nearest(const FlareExpectation &e, const Outcome &out) {
  std::vector<const Received *> near;
  for (const Received &r : out.flares)
    if (r.line.value("id", "") == e.id) near.push_back(&r);
  if (near.empty()) {
    for (const Received &r : out.flares) near.push_back(&r);
    return near;
  }
  auto distance = [&](const Received *r) { return e.by < 0 ? r->at : std::abs(r->at - e.by); };
  std::stable_sort(near.begin(), near.end(), [&](const Received *a, const Received *b) {
    int la = Likeness(e, a->line), lb = Likeness(e, b->line);
    return la != lb ? la > lb : distance(a) < distance(b);
  });
  return near;
}

std::string Diff(const FlareExpectation &e, const Outcome &out) {
  std::string d = "    - expected: " + e.Describe() + "\n";
  std::vector<const Received *> near = Nearest(e, out);
  if (near.empty()) return d + "    + received: no flares at all\n";
  // A long run's flares would bury the point: the ten nearest tell enough.
  for (size_t i = 0; i < near.size() && i < 10; ++i) d += "    + received " + At(*near[i]) + "\n";
  if (near.size() > 10) d += "    + ... and " + std::to_string(near.size() - 10) + " more\n";
  return d;
}

// An expectation on the host's action journal: some line holds the text
// (must), or none does; a failure lists what the journal held.
Check Journal(const LogExpectation &a, const Outcome &out, bool must) {
  std::string holding;
  for (const std::string &line : out.actions)
    if (line.find(a.text) != std::string::npos) holding += "    + " + line + "\n";
  if (!must) return {"no host action " + a.text, holding.empty(), holding};
  std::string journal;
  for (const std::string &line : out.actions) journal += "    + " + line + "\n";
  return {"host action " + a.text, !holding.empty(),
          !holding.empty()  ? ""
          : journal.empty() ? "    the daemon changed nothing on the host\n"
                            : journal};
}

}  // namespace

bool SameArgs(const tools::Json &want, const tools::Json &got) {
  if (!got.is_array() || want.size() != got.size()) return false;
  for (size_t i = 0; i < want.size(); ++i) {
    if (!got[i].is_object() || got[i].size() != 1) return false;
    bool wantText = want[i].begin().key() == "s", gotText = got[i].begin().key() == "s";
    if (wantText != gotText || want[i].begin().value() != got[i].begin().value()) return false;
  }
  return true;
}

bool SameContent(const FlareExpectation &e, const tools::Json &line) {
  if (e.hasMessage) {
    auto m = line.find("message");
    if (m == line.end() || !m->is_string() || m->get<std::string>() != e.message) return false;
  }
  if (e.hasArgs) {
    auto a = line.find("args");
    if (a == line.end() || !SameArgs(e.args, *a)) return false;
  }
  return true;
}

std::vector<Check> Evaluate(const Scenario &sc, const Outcome &out) {
  // Each received flare satisfies one expectation, in file order; only then
  // is a missing one explained, knowing which expectation took what.
  std::vector<int> takenBy(out.flares.size(), 0);
  std::vector<bool> met(sc.flares.size(), false);
  for (size_t k = 0; k < sc.flares.size(); ++k) {
    const FlareExpectation &e = sc.flares[k];
    if (!e.must) continue;
    for (size_t i = 0; i < out.flares.size() && !met[k]; ++i)
      if (takenBy[i] == 0 && Matches(e, out.flares[i])) {
        takenBy[i] = e.line;
        met[k] = true;
      }
  }
  Evidence ev = ReadEvidence(sc, out);
  std::vector<Check> checks;
  for (size_t k = 0; k < sc.flares.size(); ++k) {
    const FlareExpectation &e = sc.flares[k];
    std::string what = std::string(e.must ? "flare " : "no flare ") + e.Describe();
    if (e.must) {
      checks.push_back(
          {what, met[k], met[k] ? "" : Diff(e, out) + ExplainMissing(sc, out, ev, e, takenBy)});
      continue;
    }
    std::string detail;
    for (const Received &r : out.flares)
      if (Matches(e, r))
        detail += "    + received " + At(r) + "\n" + ExplainUnwanted(sc, out, ev, r);
    checks.push_back({what, detail.empty(), detail});
  }
  for (const LogExpectation &l : sc.logs) {
    bool found = false;
    for (const std::string &line : out.log) found = found || line.find(l.text) != std::string::npos;
    checks.push_back(
        {"log line \"" + l.text + "\"", found, found ? "" : "    no log line holds this text\n"});
  }
  for (const LogExpectation &a : sc.actions) checks.push_back(Journal(a, out, true));
  for (const LogExpectation &a : sc.noActions) checks.push_back(Journal(a, out, false));
  if (sc.onlyThese) {
    // The observations behind an id are the same for each of its flares:
    // told once per id.
    // A flood of one id would bury the rest: ten of each tell enough.
    std::string detail;
    std::map<std::string, size_t> seen;
    for (size_t i = 0; i < out.flares.size(); ++i) {
      if (takenBy[i] != 0) continue;
      size_t n = ++seen[out.flares[i].line.value("id", "")];
      if (n > 10) continue;
      detail += "    + unexpected " + At(out.flares[i]) + "\n";
      if (n == 1) detail += ExplainUnwanted(sc, out, ev, out.flares[i]);
    }
    for (const auto &id : seen)
      if (id.second > 10)
        detail +=
            "    + ... and " + std::to_string(id.second - 10) + " more of [" + id.first + "]\n";
    checks.push_back({"no other flares", detail.empty(), detail});
  }
  if (!out.failure.empty())
    checks.push_back({"the run itself", false, "    " + out.failure + "\n"});
  return checks;
}

}  // namespace scenario
