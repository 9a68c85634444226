#include "check.h"

namespace scenario {

namespace {

// Numbers compare by value whatever their kind: a replayed trace cannot
// tell an i32 from a u32.
bool SameArgs(const tools::Json &want, const tools::Json &got) {
  if (!got.is_array() || want.size() != got.size()) return false;
  for (size_t i = 0; i < want.size(); ++i) {
    if (!got[i].is_object() || got[i].size() != 1) return false;
    bool wantText = want[i].begin().key() == "s", gotText = got[i].begin().key() == "s";
    if (wantText != gotText || want[i].begin().value() != got[i].begin().value()) return false;
  }
  return true;
}

bool Matches(const FlareExpectation &e, const Received &r, bool timed) {
  if (r.line.value("id", "") != e.id) return false;
  if (e.hasMessage) {
    auto m = r.line.find("message");
    if (m == r.line.end() || !m->is_string() || m->get<std::string>() != e.message) return false;
  }
  if (e.hasArgs) {
    auto a = r.line.find("args");
    if (a == r.line.end() || !SameArgs(e.args, *a)) return false;
  }
  return !timed || e.by < 0 || r.at <= e.by;
}

std::string At(const Received &r) {
  return "at " + std::to_string(r.at) + " s: " + r.Text();
}

// The received flares most like the expected one: those of its id, else all.
std::string Diff(const FlareExpectation &e, const Outcome &out) {
  std::string d = "    - expected: " + e.Describe() + "\n";
  std::vector<const Received *> near;
  for (const Received &r : out.flares)
    if (r.line.value("id", "") == e.id) near.push_back(&r);
  if (near.empty())
    for (const Received &r : out.flares) near.push_back(&r);
  if (near.empty()) return d + "    + received: no flares at all\n";
  // A long run's flares would bury the point: the first ten tell enough.
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

std::vector<Check> Evaluate(const Scenario &sc, const Outcome &out) {
  std::vector<Check> checks;
  std::vector<bool> used(out.flares.size(), false);
  for (const FlareExpectation &e : sc.flares) {
    std::string what = std::string(e.must ? "flare " : "no flare ") + e.Describe();
    if (e.must) {
      size_t i = 0;
      while (i < out.flares.size() && (used[i] || !Matches(e, out.flares[i], true))) ++i;
      if (i < out.flares.size()) {
        used[i] = true;
        checks.push_back({what, true, ""});
      } else {
        checks.push_back({what, false, Diff(e, out) + ExplainMissing(sc, out, e)});
      }
      continue;
    }
    std::string detail;
    for (const Received &r : out.flares)
      if (Matches(e, r, true))
        detail += "    + received " + At(r) + "\n" + ExplainUnwanted(sc, out, r);
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
    std::string detail;
    for (size_t i = 0; i < out.flares.size(); ++i)
      if (!used[i]) detail += "    + unexpected " + At(out.flares[i]) + "\n";
    checks.push_back({"no other flares", detail.empty(), detail});
  }
  if (!out.failure.empty())
    checks.push_back({"the run itself", false, "    " + out.failure + "\n"});
  return checks;
}

}  // namespace scenario
