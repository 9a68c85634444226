// Scenario files: YAML read with yaml-cpp, every mistake named with its
// file, line and key.
#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>

#include "known_ids.h"
#include "scenario.h"
#include "simhost/hostmodel.h"

namespace scenario {

namespace {

struct Bad {
  int line;
  std::string what;
};

int Line(const YAML::Node &n) {
  return n.Mark().line + 1;
}

[[noreturn]] void Fail(const YAML::Node &n, const std::string &what) {
  throw Bad{Line(n), what};
}

// Ids the daemon does not know: the file fails, but only after all of them
// have been found, so that one run names them all.
using UnknownIds = std::vector<Bad>;

void OnlyKeys(const YAML::Node &map, const std::set<std::string> &keys, const std::string &where) {
  if (!map.IsMap()) Fail(map, where + " is a mapping");
  for (const auto &kv : map) {
    std::string key = kv.first.Scalar();
    if (keys.count(key) == 0) Fail(kv.first, "unknown key \"" + key + "\" in " + where);
  }
}

// A plain scalar becomes null, a boolean or a number where it reads as one;
// a quoted one stays text. Under "s" a plain scalar other than null is text.
tools::Json ToJson(const YAML::Node &n, bool text = false) {
  if (n.IsNull()) return nullptr;
  if (n.IsSequence()) {
    tools::Json a = tools::Json::array();
    for (const auto &item : n) a.push_back(ToJson(item));
    return a;
  }
  if (n.IsMap()) {
    tools::Json o = tools::Json::object();
    for (const auto &kv : n) {
      std::string key = kv.first.Scalar();
      o[key] = ToJson(kv.second, key == "s");
    }
    return o;
  }
  const std::string &s = n.Scalar();
  if (n.Tag() == "!" || text) return s;
  if (s == "~" || s == "null") return nullptr;
  if (s == "true" || s == "false") return s == "true";
  tools::Json number = tools::Json::parse(s, nullptr, false);
  if (!number.is_discarded() && number.is_number()) return number;
  return s;
}

int64_t Seconds(const YAML::Node &n, const std::string &key, int64_t max) {
  tools::Json v = n.IsScalar() ? ToJson(n) : tools::Json();
  if (!v.is_number_integer() || v.get<int64_t>() < 0 || v.get<int64_t>() > max)
    Fail(n, "\"" + key + "\" takes a whole number of seconds");
  return v.get<int64_t>();
}

// A time from the start ("at", "by", "end").
int64_t HostTime(const YAML::Node &n, const std::string &key) {
  int64_t at = Seconds(n, key, std::numeric_limits<int64_t>::max());
  if (at > kMaxHostSeconds)
    Fail(n, "\"" + key + "\" " + std::to_string(at) + " is beyond what a run can do: at most " +
                std::to_string(kMaxHostSeconds) + " s (" + std::to_string(kMaxHostSeconds / 86400) +
                " days of host time)");
  return at;
}

std::string Text(const YAML::Node &n, const std::string &key) {
  if (!n.IsScalar()) Fail(n, "\"" + key + "\" takes a text");
  return n.Scalar();
}

bool Flag(const YAML::Node &n, const std::string &key) {
  tools::Json v = n.IsScalar() ? ToJson(n) : tools::Json();
  if (!v.is_boolean()) Fail(n, "\"" + key + "\" takes true or false");
  return v.get<bool>();
}

std::string ReadFile(const std::string &path, const YAML::Node &at) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail(at, "cannot read host model " + path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Dir(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// A host model written inline (a mapping) or named by file; the simulated
// host's own schema check refuses a key it does not know.
std::string HostModel(const YAML::Node &n, const std::string &file) {
  if (n.IsMap()) {
    tools::Json doc = ToJson(n);
    std::string unknown = simhost::UnknownModelKey(doc);
    if (!unknown.empty()) Fail(n, "host model: " + unknown + " (docs/simhost.md lists the keys)");
    return doc.dump();
  }
  std::string name = Text(n, "host");
  std::string path = name[0] == '/' ? name : Dir(file) + "/" + name;
  tools::Json doc = tools::Json::parse(ReadFile(path, n), nullptr, false);
  if (doc.is_discarded() || !doc.is_object())
    Fail(n, "host model " + path + " is not a JSON object");
  std::string unknown = simhost::UnknownModelKey(doc);
  if (!unknown.empty())
    Fail(n, "host model " + path + ": " + unknown + " (docs/simhost.md lists the keys)");
  return doc.dump();
}

int Ctx(const YAML::Node &n) {
  tools::Json v = ToJson(n);
  if (v.is_string() && v.get<std::string>() == "user") return kUserCtx;
  if (v.is_number_integer() && v.get<int64_t>() >= 0 && v.get<int64_t>() < 24) return v.get<int>();
  Fail(n, "\"ctx\" is a number 0..23 or \"user\"");
}

// One observation, checked exactly as wisp-emit checks it; its id goes to
// *ids. "ctx" is the step's (a wisp-emit line may carry it inside).
std::string Record(const YAML::Node &n, int64_t nowUs, bool inBatch, bool unhandled,
                   std::vector<std::string> *ids, UnknownIds *unknown) {
  OnlyKeys(n, {"id", "fmt", "args", "ts", "ctx"}, "an observation");
  if (inBatch && n["ctx"])
    Fail(n["ctx"], "\"ctx\" belongs beside \"batch\": the whole batch goes to one source");
  tools::Json obs = ToJson(n);
  obs.erase("ctx");
  std::string record, error;
  if (!tools::RawRecordFromJson(obs, static_cast<uint64_t>(nowUs), &record, &error))
    Fail(n, "observe: " + error);
  std::string id = obs["id"].get<std::string>();
  if (!unhandled && !HandledObservation(id))
    unknown->push_back({Line(n["id"]), "no correlator handles the observation \"" + id +
                                           "\" (no table row or handler of any correlator has "
                                           "it; \"unhandled: true\" on the step says it is meant "
                                           "for a fallback)"});
  ids->push_back(id);
  return record;
}

Step ParseStep(const YAML::Node &n, const Scenario &sc, UnknownIds *unknown) {
  OnlyKeys(n, {"at", "observe", "batch", "ctx", "unhandled", "host", "hubd", "restart", "note"},
           "a step");
  if (!n["at"]) Fail(n, "a step needs \"at\"");
  bool unhandled = false;
  if (n["unhandled"]) {
    if (!n["observe"] && !n["batch"]) Fail(n["unhandled"], "\"unhandled\" belongs to an observation");
    if (!Flag(n["unhandled"], "unhandled")) Fail(n["unhandled"], "\"unhandled\" takes true");
    unhandled = true;
  }
  Step step{};
  step.at = HostTime(n["at"], "at");
  step.line = Line(n);
  int64_t nowUs = (sc.start + step.at) * 1000000;
  int actions = 0;
  if (n["observe"]) {
    ++actions;
    step.kind = Step::kObserve;
    step.bytes = Record(n["observe"], nowUs, false, unhandled, &step.ids, unknown);
    if (n["observe"]["ctx"]) {
      if (n["ctx"]) Fail(n["ctx"], "\"ctx\" is given twice: inside \"observe\" and beside it");
      step.ctx = Ctx(n["observe"]["ctx"]);
    }
  }
  if (n["batch"]) {
    ++actions;
    step.kind = Step::kObserve;
    if (!n["batch"].IsSequence() || n["batch"].size() == 0)
      Fail(n["batch"], "\"batch\" is a list of observations");
    for (const auto &obs : n["batch"])
      step.bytes += Record(obs, nowUs, true, unhandled, &step.ids, unknown);
  }
  if (!step.ids.empty()) step.id = step.ids[0];
  if (n["ctx"]) {
    if (step.kind != Step::kObserve || actions == 0)
      Fail(n["ctx"], "\"ctx\" belongs to an observation");
    step.ctx = Ctx(n["ctx"]);
  }
  if (n["host"]) {
    ++actions;
    step.kind = Step::kHost;
    step.hostJson = HostModel(n["host"], sc.file);
  }
  if (n["hubd"]) {
    ++actions;
    std::string v = Text(n["hubd"], "hubd");
    if (v != "down" && v != "up") Fail(n["hubd"], "\"hubd\" takes down or up");
    step.kind = v == "down" ? Step::kHubdDown : Step::kHubdUp;
  }
  if (n["restart"]) {
    ++actions;
    if (!Flag(n["restart"], "restart")) Fail(n["restart"], "\"restart\" takes true");
    step.kind = Step::kRestart;
  }
  if (actions != 1) Fail(n, "a step does exactly one of observe, batch, host, hubd, restart");
  return step;
}

FlareExpectation ParseFlare(const YAML::Node &n, bool must, UnknownIds *unknown) {
  OnlyKeys(n, {"kind", "id", "message", "args", "by"},
           must ? "an expected flare" : "a forbidden flare");
  FlareExpectation e;
  e.line = Line(n);
  e.must = must;
  if (!n["id"]) Fail(n, "a flare needs \"id\"");
  e.id = Text(n["id"], "id");
  if (e.id.rfind("tarn.problem.", 0) != 0 && e.id.rfind("tarn.audit.", 0) != 0 &&
      e.id.rfind("tarn.clear.", 0) != 0)
    Fail(n["id"], "\"id\" starts with tarn.problem., tarn.audit. or tarn.clear.");
  // The kind is the id's second word; written out, it must agree.
  if (n["kind"] && e.id.rfind("tarn." + Text(n["kind"], "kind") + ".", 0) != 0)
    Fail(n["kind"], "\"kind\" (problem, audit or clear) disagrees with \"id\"");
  if (!KnownFlare(e.id))
    unknown->push_back({Line(n["id"]), "no correlator posts the flare \"" + e.id +
                                           "\" (it is in no flare table of the daemon)"});
  if (n["message"]) {
    e.hasMessage = true;
    e.message = Text(n["message"], "message");
  }
  if (n["args"]) {
    if (!n["args"].IsSequence()) Fail(n["args"], "\"args\" is a list of argument items");
    e.hasArgs = true;
    e.args = ToJson(n["args"]);
    for (const auto &item : e.args) {
      tools::Arg arg;
      std::string error;
      if (!tools::ArgFromJson(item, &arg, &error)) Fail(n["args"], "args: " + error);
    }
  }
  if (n["by"]) e.by = HostTime(n["by"], "by");
  return e;
}

void ParseExpect(const YAML::Node &n, Scenario *sc, UnknownIds *unknown) {
  OnlyKeys(n, {"flares", "no_flares", "log", "actions", "no_actions", "only_these"}, "\"expect\"");
  for (const char *key : {"flares", "no_flares", "log", "actions", "no_actions"})
    if (n[key] && !n[key].IsSequence()) Fail(n[key], std::string("\"") + key + "\" is a list");
  if (n["flares"])
    for (const auto &f : n["flares"]) sc->flares.push_back(ParseFlare(f, true, unknown));
  if (n["no_flares"])
    for (const auto &f : n["no_flares"]) sc->flares.push_back(ParseFlare(f, false, unknown));
  if (n["log"])
    for (const auto &l : n["log"]) sc->logs.push_back({Line(l), Text(l, "log")});
  if (n["actions"])
    for (const auto &l : n["actions"]) sc->actions.push_back({Line(l), Text(l, "actions")});
  if (n["no_actions"])
    for (const auto &l : n["no_actions"]) sc->noActions.push_back({Line(l), Text(l, "no_actions")});
  if (n["only_these"]) sc->onlyThese = Flag(n["only_these"], "only_these");
}

void ParseDoc(const YAML::Node &doc, Scenario *sc, UnknownIds *unknown) {
  OnlyKeys(doc, {"name", "about", "host", "start", "end", "steps", "expect"}, "a scenario");
  if (doc["name"]) sc->name = Text(doc["name"], "name");
  if (doc["about"]) Text(doc["about"], "about");
  if (doc["start"]) sc->start = Seconds(doc["start"], "start", 100LL * 86400 * 365);
  if (doc["host"]) sc->hostJson = HostModel(doc["host"], sc->file);
  if (!doc["steps"] || !doc["steps"].IsSequence())
    Fail(doc, "a scenario needs a list of \"steps\"");
  int64_t last = 0;
  for (const auto &s : doc["steps"]) {
    Step step = ParseStep(s, *sc, unknown);
    if (step.at < last)
      Fail(s["at"],
           "\"at\" goes back in time (the step before is at " + std::to_string(last) + ")");
    last = step.at;
    sc->steps.push_back(step);
  }
  if (doc["expect"]) ParseExpect(doc["expect"], sc, unknown);
  sc->end = last;
  for (const FlareExpectation &e : sc->flares) sc->end = std::max(sc->end, e.by);
  if (doc["end"]) {
    sc->end = HostTime(doc["end"], "end");
    if (sc->end < last) Fail(doc["end"], "\"end\" comes before the last step");
  }
}

}  // namespace

bool Parse(const std::string &path, Scenario *out, std::string *error) {
  out->file = path;
  size_t slash = path.rfind('/');
  out->name = path.substr(slash == std::string::npos ? 0 : slash + 1);
  std::ifstream probe(path);
  if (!probe) {
    *error = path + ": cannot read the scenario file";
    return false;
  }
  UnknownIds unknown;
  try {
    ParseDoc(YAML::LoadFile(path), out, &unknown);
  } catch (const YAML::ParserException &e) {
    *error = path + ":" + std::to_string(e.mark.line + 1) + ": YAML syntax: " + e.msg;
    return false;
  } catch (const YAML::Exception &e) {
    *error = path + ":" + std::to_string(e.mark.line + 1) + ": " + e.msg;
    return false;
  } catch (const Bad &b) {
    *error = path + ":" + std::to_string(b.line) + ": " + b.what;
    return false;
  }
  for (const Bad &b : unknown)
    *error += (error->empty() ? "" : "\n") + path + ":" + std::to_string(b.line) + ": " + b.what;
  return unknown.empty();
}

std::string FlareExpectation::Describe() const {
  std::string s = "[" + id + "]";
  if (hasMessage) s += " " + message;
  if (hasArgs) s += " args " + args.dump();
  if (by >= 0) s += " (by " + std::to_string(by) + " s)";
  return s;
}

}  // namespace scenario
