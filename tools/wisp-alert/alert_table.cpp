#include "alert_table.h"

#include <time.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "arg_names.h"
#include "arg_pack.h"
#include "catalogue.h"
#include "clear_table.h"
#include "json_text.h"

namespace wispalert {

namespace {

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.starts_with(prefix);
}

// Whether some row of the clear table ends problems of this id.
bool HasClear(std::string_view id) {
  for (unsigned i = 0; i < kClearRowCount; ++i)
    if (id == kClearRows[i].ended) return true;
  return false;
}

// An object argument as its message shows it ("%#x" as 0x1f).
std::string LabelValue(const tools::Json &args, size_t i, const ArgName &name) {
  std::string text = ArgText(args, i);
  if (text.empty() || name.conversion == 's') return text;
  const tools::Json &v = args[i].begin().value();
  if (!v.is_number_integer() || std::strchr("xXo", name.conversion) == nullptr) return text;
  uint64_t bits =
      v.is_number_unsigned() ? v.get<uint64_t>() : static_cast<uint64_t>(v.get<int64_t>());
  char buf[32];
  if (name.conversion == 'o')
    snprintf(buf, sizeof buf, name.alternate ? "0%" PRIo64 : "%" PRIo64, bits);
  else if (name.conversion == 'X')
    snprintf(buf, sizeof buf, name.alternate ? "0X%" PRIX64 : "%" PRIX64, bits);
  else
    snprintf(buf, sizeof buf, name.alternate ? "0x%" PRIx64 : "%" PRIx64, bits);
  return buf;
}

Labels LabelsOf(const Flare &flare, const std::string &kind, const std::string &host,
                LabelPool *pool) {
  std::vector<std::pair<std::string_view, std::string_view>> labels = {
      {"alertname", flare.id}, {"host", host}, {"kind", kind}};
  const flarecat::Flare *known = FindFlare(flare.id);
  if (known != nullptr && known->correlator[0] != '\0')
    labels.emplace_back("correlator", known->correlator);
  const std::vector<ArgName> &names = ArgNamesOf(flare.id);
  std::vector<std::string> values;
  values.reserve(names.size());  // the labels point into it
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i].label.empty()) continue;
    values.push_back(LabelValue(flare.args, i, names[i]));
    if (!values.back().empty()) labels.emplace_back(names[i].label, values.back());
  }
  return pool->Make(std::move(labels));
}

std::string SummaryOf(const Flare &flare) {
  if (!flare.message.empty()) return flare.message;
  // An id hubd had no text for: the id and its arguments.
  std::string text = flare.id;
  for (size_t i = 0; i < flare.args.size(); ++i)
    text += (i == 0 ? " " : ", ") + ArgText(flare.args, i);
  return text;
}

}  // namespace

std::string AlertTable::Rfc3339(uint64_t us) {
  time_t secs = static_cast<time_t>(us / 1000000);
  struct tm tm;
  gmtime_r(&secs, &tm);
  char buf[64];
  size_t n = strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  snprintf(buf + n, sizeof buf - n, ".%06uZ", static_cast<unsigned>(us % 1000000));
  return buf;
}

AlertTable::AlertTable(TableOptions options, size_t managers)
    : options_(std::move(options)), managers_(managers), due_(managers) {}

void AlertTable::SetDue(Held &held, size_t m, uint64_t sinceUs) {
  uint64_t &since = held.second.at[m].dueSinceUs;
  if (since == sinceUs) return;
  if (since != 0) due_[m].erase({since, &held});
  since = sinceUs;
  if (since != 0) due_[m].insert({since, &held});
}

void AlertTable::Erase(std::map<Labels, Alert>::iterator e) {
  for (size_t m = 0; m < managers_; ++m) SetDue(*e, m, 0);
  Index(*e, false);
  alerts_.erase(e);
}

namespace {

uint64_t NameHash(std::string_view name) {
  return std::hash<std::string_view>()(name);
}

uint64_t ArgHash(std::string_view name, size_t i, const ArgValue &v) {
  std::string key(name);
  key += '\x1f';
  key += std::to_string(i);
  key += '\x1f';
  if (v.isString) {
    key += v.absent ? "n" : "s";
    key += v.text;
  } else {
    key += v.negative ? "-" : "+";
    key += std::to_string(v.magnitude);
  }
  return std::hash<std::string>()(key);
}

}  // namespace

void AlertTable::Index(Held &held, bool add) {
  std::string_view name = held.first.Get("alertname");
  std::vector<ArgValue> args = UnpackArgValues(held.second.args);
  // Only what some row of the clear table looks for.
  for (unsigned r = 0; r < kClearRowCount; ++r) {
    const ClearRow &row = kClearRows[r];
    if (name != row.ended) continue;
    if (row.matches > 0 && row.match[0].ended >= args.size()) continue;
    uint64_t hash = row.matches == 0 ? NameHash(name)
                                     : ArgHash(name, row.match[0].ended, args[row.match[0].ended]);
    if (add)
      endable_.insert({hash, &held});
    else
      endable_.erase({hash, &held});
  }
}

std::vector<AlertTable::Held *> AlertTable::Candidates(const std::string &ended,
                                                       const std::vector<ArgValue> &args,
                                                       unsigned enderArg, unsigned endedArg,
                                                       bool byArg) {
  std::vector<Held *> found;
  if (byArg && enderArg >= args.size()) return found;
  uint64_t hash = byArg ? ArgHash(ended, endedArg, args[enderArg]) : NameHash(ended);
  // Hashes may collide: the name is checked here, the arguments by the caller.
  for (auto it = endable_.lower_bound({hash, nullptr}); it != endable_.end() && it->first == hash;
       ++it)
    if (it->second->first.Get("alertname") == ended) found.push_back(it->second);
  return found;
}

void AlertTable::MarkDue(Held &held, uint64_t nowUs) {
  held.second.at.resize(managers_);
  for (size_t m = 0; m < managers_; ++m) {
    held.second.at[m].rejected = false;
    if (held.second.at[m].dueSinceUs == 0) SetDue(held, m, std::max<uint64_t>(nowUs, 1));
  }
}

void AlertTable::DropOldest(Applied *applied) {
  auto oldest = alerts_.end();
  for (auto it = alerts_.begin(); it != alerts_.end(); ++it)
    if (oldest == alerts_.end() || it->second.flareUs < oldest->second.flareUs) oldest = it;
  if (oldest == alerts_.end()) return;
  Erase(oldest);
  ++applied->dropped;
}

void AlertTable::Raise(const Flare &flare, const std::string &kind, uint64_t endsUs,
                       Applied *applied, uint64_t nowUs) {
  Labels labels = LabelsOf(flare, kind, options_.host, &labels_);
  auto it = alerts_.find(labels);
  if (it == alerts_.end()) {
    if (alerts_.size() >= options_.maxAlerts) DropOldest(applied);
    it = alerts_.emplace(std::move(labels), Alert{}).first;
  } else {
    Index(*it, false);
  }
  Alert &alert = it->second;
  bool firing = alert.startsUs != 0 && (alert.endsUs == 0 || alert.endsUs > flare.timeUs);
  if (firing) {
    ++applied->updated;
    if (alert.endsUs != 0) alert.endsUs = endsUs == 0 ? 0 : std::max(alert.endsUs, endsUs);
  } else {
    ++applied->raised;
    alert.startsUs = std::max<uint64_t>(flare.timeUs, 1);
    alert.endsUs = endsUs;
  }
  alert.summary = SummaryOf(flare);
  alert.args = PackArgValues(ArgValues(flare.args));
  alert.flareUs = flare.timeUs;
  Index(*it, true);
  MarkDue(*it, nowUs);
}

Applied AlertTable::Apply(const Flare &flare, uint64_t nowUs) {
  Applied applied;
  bool ender = false;
  std::vector<ArgValue> args;
  for (unsigned r = 0; r < kClearRowCount; ++r) {
    const ClearRow &row = kClearRows[r];
    if (flare.id != row.ender) continue;
    if (!ender) args = ArgValues(flare.args);
    ender = true;
    for (Held *held :
         Candidates(row.ended, args, row.match[0].ender, row.match[0].ended, row.matches > 0)) {
      Alert &alert = held->second;
      if (alert.endsUs != 0 && alert.endsUs <= flare.timeUs) continue;  // over already
      bool match = true;
      std::vector<ArgValue> theirs = UnpackArgValues(alert.args);
      for (unsigned k = 0; k < row.matches && match; ++k)
        match = SameArg(args, row.match[k].ender, theirs, row.match[k].ended);
      if (!match) continue;
      alert.endsUs = std::max(flare.timeUs, alert.startsUs);
      alert.flareUs = flare.timeUs;
      MarkDue(*held, nowUs);
      ++applied.ended;
    }
  }
  if (StartsWith(flare.id, kProblemPrefix) && !ender) {
    Raise(flare, "problem",
          HasClear(flare.id) ? 0 : std::max<uint64_t>(flare.timeUs, 1) + options_.problemTtlUs,
          &applied, nowUs);
  } else if (StartsWith(flare.id, kAuditPrefix) && options_.audits) {
    Raise(flare, "audit", std::max<uint64_t>(flare.timeUs, 1) + options_.auditHoldUs, &applied,
          nowUs);
  } else if (!ender) {
    applied.ignored = true;
  }
  return applied;
}

void AlertTable::MarkFiringDue(uint64_t nowUs) {
  for (auto e = alerts_.begin(); e != alerts_.end(); ++e) {
    Alert &alert = e->second;
    if (alert.endsUs != 0 && alert.endsUs <= nowUs) continue;
    for (size_t m = 0; m < managers_; ++m)
      if (!alert.at[m].rejected && alert.at[m].dueSinceUs == 0)
        SetDue(*e, m, std::max<uint64_t>(nowUs, 1));
  }
}

size_t AlertTable::Expire(uint64_t nowUs) {
  size_t gone = 0;
  for (auto it = alerts_.begin(); it != alerts_.end();) {
    const Alert &alert = it->second;
    bool over = alert.endsUs != 0 && alert.endsUs <= nowUs;
    bool due = std::any_of(alert.at.begin(), alert.at.end(),
                           [](const Alert::At &at) { return at.dueSinceUs != 0; });
    if (over && !due) {
      Erase(it++);
      ++gone;
    } else {
      ++it;
    }
  }
  return gone;
}

std::vector<Labels> AlertTable::Due(size_t m, size_t max) const {
  std::vector<Labels> keys;
  for (auto it = due_[m].begin(); it != due_[m].end() && keys.size() < max; ++it)
    keys.push_back(it->second->first);
  return keys;
}

const Alert *AlertTable::Find(const Labels &key) const {
  auto it = alerts_.find(key);
  return it == alerts_.end() ? nullptr : &it->second;
}

namespace {

void AppendLabels(std::string *out, const Labels &labels) {
  out->push_back('{');
  bool first = true;
  labels.ForEach([&](std::string_view name, std::string_view value) {
    if (!first) out->push_back(',');
    first = false;
    AppendJsonString(out, name);
    out->push_back(':');
    AppendJsonString(out, value);
  });
  out->push_back('}');
}

void AppendArgs(std::string *out, std::string_view packed) {
  out->push_back('[');
  PackedArg v;
  for (size_t at = 0, i = 0; NextPackedArg(packed, &at, &v); ++i) {
    if (i > 0) out->push_back(',');
    if (v.isString) {
      out->append(R"({"s":)");
      if (v.absent)
        out->append("null");
      else
        AppendJsonString(out, v.text);
    } else if (v.negative) {
      out->append(R"({"i64":)");
      AppendJsonInt(out, static_cast<int64_t>(0 - v.magnitude));
    } else {
      out->append(R"({"u64":)");
      AppendJsonUint(out, v.magnitude);
    }
    out->push_back('}');
  }
  out->push_back(']');
}

}  // namespace

// The keys in the order nlohmann's objects keep them, which Alertmanager and
// older state files have seen: sorted.
std::string AlertTable::Body(const std::vector<Labels> &keys) const {
  std::string body = "[";
  for (const Labels &key : keys) {
    auto it = alerts_.find(key);
    if (it == alerts_.end()) continue;
    const Alert &alert = it->second;
    if (body.size() > 1) body += ',';
    body += R"({"annotations":{"summary":)";
    AppendJsonString(&body, alert.summary);
    body += '}';
    if (alert.endsUs != 0) body += R"(,"endsAt":")" + Rfc3339(alert.endsUs) + '"';
    body += R"(,"labels":)";
    AppendLabels(&body, it->first);
    body += R"(,"startsAt":")" + Rfc3339(alert.startsUs) + R"("})";
  }
  return body + ']';
}

void AlertTable::Delivered(size_t m, const std::vector<Labels> &keys, uint64_t sentUs) {
  for (const Labels &key : keys) {
    auto it = alerts_.find(key);
    // Changed again after the send began: still due.
    if (it != alerts_.end() && it->second.at[m].dueSinceUs <= sentUs) SetDue(*it, m, 0);
  }
}

void AlertTable::Rejected(size_t m, const Labels &key) {
  auto it = alerts_.find(key);
  if (it == alerts_.end()) return;
  SetDue(*it, m, 0);
  it->second.at[m].rejected = true;
}

size_t AlertTable::Firing(uint64_t nowUs) const {
  size_t n = 0;
  for (const auto &entry : alerts_)
    if (entry.second.endsUs == 0 || entry.second.endsUs > nowUs) ++n;
  return n;
}

bool AlertTable::StateLines(const std::vector<std::string> &urls, size_t bytes,
                            const std::function<bool(std::string *)> &put) const {
  std::string text;
  text.reserve(bytes + bytes / 4);
  std::vector<std::pair<std::string_view, uint64_t>> due;
  for (const auto &[labels, alert] : alerts_) {
    // An Alertmanager given twice is one key, the later one's value.
    due.clear();
    for (size_t m = 0; m < urls.size() && m < managers_; ++m) {
      if (alert.at[m].dueSinceUs == 0) continue;
      auto same =
          std::find_if(due.begin(), due.end(), [&](const auto &d) { return d.first == urls[m]; });
      if (same != due.end())
        same->second = alert.at[m].dueSinceUs;
      else
        due.emplace_back(urls[m], alert.at[m].dueSinceUs);
    }
    std::sort(due.begin(), due.end());
    text += R"({"args":)";
    AppendArgs(&text, alert.args);
    text += R"(,"due":{)";
    for (size_t i = 0; i < due.size(); ++i) {
      if (i > 0) text += ',';
      AppendJsonString(&text, due[i].first);
      text += ':';
      AppendJsonUint(&text, due[i].second);
    }
    text += R"(},"ends_us":)";
    AppendJsonUint(&text, alert.endsUs);
    text += R"(,"flare_us":)";
    AppendJsonUint(&text, alert.flareUs);
    text += R"(,"labels":)";
    AppendLabels(&text, labels);
    text += R"(,"rejected":[)";
    bool first = true;
    for (size_t m = 0; m < urls.size() && m < managers_; ++m) {
      if (!alert.at[m].rejected) continue;
      if (!first) text += ',';
      first = false;
      AppendJsonString(&text, urls[m]);
    }
    text += R"(],"starts_us":)";
    AppendJsonUint(&text, alert.startsUs);
    text += R"(,"summary":)";
    AppendJsonString(&text, alert.summary);
    text += "}\n";
    if (text.size() >= bytes && !put(&text)) return false;
  }
  return text.empty() || put(&text);
}

bool AlertTable::LoadLine(std::string_view text, const std::vector<std::string> &known,
                          const std::vector<std::string> &urls, uint64_t nowUs, std::string *why) {
  tools::Json a = tools::Json::parse(text.begin(), text.end(), nullptr, false);
  if (!a.is_object() || !a.value("labels", tools::Json()).is_object() ||
      !a.value("summary", tools::Json()).is_string() ||
      !a.value("starts_us", tools::Json()).is_number_unsigned() ||
      !a.value("ends_us", tools::Json()).is_number_unsigned() ||
      !a.value("flare_us", tools::Json()).is_number_unsigned() ||
      !a.value("args", tools::Json()).is_array() || !a.value("due", tools::Json()).is_object() ||
      !a.value("rejected", tools::Json()).is_array()) {
    *why = "an alert lacks a field";
    return false;
  }
  Alert alert;
  std::vector<std::pair<std::string_view, std::string_view>> labels;
  for (const auto &l : a["labels"].items()) {
    if (!l.value().is_string()) {
      *why = "a label is not a text";
      return false;
    }
    labels.emplace_back(l.key(), l.value().get_ref<const std::string &>());
  }
  Labels key = labels_.Make(std::move(labels));
  alert.summary = a["summary"].get<std::string>();
  alert.args = PackArgValues(ArgValues(a["args"]));
  alert.startsUs = a["starts_us"].get<uint64_t>();
  alert.endsUs = a["ends_us"].get<uint64_t>();
  alert.flareUs = a["flare_us"].get<uint64_t>();
  alert.at.resize(managers_);
  auto old = alerts_.find(key);
  if (old != alerts_.end()) Erase(old);
  Held &held = *alerts_.emplace(std::move(key), std::move(alert)).first;
  Index(held, true);
  for (size_t m = 0; m < urls.size() && m < managers_; ++m) {
    if (std::find(known.begin(), known.end(), urls[m]) == known.end()) {
      SetDue(held, m, std::max<uint64_t>(nowUs, 1));
      continue;
    }
    auto due = a["due"].find(urls[m]);
    if (due != a["due"].end() && due->is_number_unsigned() && *due != 0)
      SetDue(held, m, due->get<uint64_t>());
    for (const tools::Json &r : a["rejected"])
      if (r == urls[m]) held.second.at[m].rejected = true;
  }
  return true;
}

}  // namespace wispalert
