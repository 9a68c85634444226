#include "alert_table.h"

#include <time.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "arg_names.h"
#include "catalogue.h"
#include "clear_table.h"

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

std::map<std::string, std::string> LabelsOf(const Flare &flare, const std::string &kind,
                                            const std::string &host) {
  std::map<std::string, std::string> labels = {
      {"alertname", flare.id}, {"host", host}, {"kind", kind}};
  const flarecat::Flare *known = FindFlare(flare.id);
  if (known != nullptr && known->correlator[0] != '\0') labels["correlator"] = known->correlator;
  const std::vector<ArgName> &names = ArgNamesOf(flare.id);
  for (size_t i = 0; i < names.size(); ++i) {
    if (names[i].label.empty()) continue;
    std::string value = LabelValue(flare.args, i, names[i]);
    if (!value.empty()) labels[names[i].label] = value;
  }
  return labels;
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

std::string AlertKey(const std::map<std::string, std::string> &labels) {
  std::string key;
  for (const auto &l : labels) {
    key += l.first;
    key += '\x1f';
    key += l.second;
    key += '\x1e';
  }
  return key;
}

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

void AlertTable::SetDue(Entry e, size_t m, uint64_t sinceUs) {
  uint64_t &since = e->second.dueSinceUs[m];
  if (since == sinceUs) return;
  if (since != 0) due_[m].erase({since, &e->first});
  since = sinceUs;
  if (since != 0) due_[m].insert({since, &e->first});
}

void AlertTable::Erase(Entry e) {
  for (size_t m = 0; m < managers_; ++m) SetDue(e, m, 0);
  Index(e, false);
  alerts_.erase(e);
}

namespace {

std::string ArgIndexKey(const std::string &name, size_t i, const ArgValue &v) {
  std::string key = name + '\x1f' + std::to_string(i) + '\x1f';
  if (v.isString) return key + (v.absent ? "n" : "s" + v.text);
  return key + (v.negative ? "-" : "+") + std::to_string(v.magnitude);
}

template <typename Map>
void IndexOne(Map *map, const std::string &key, const std::string *alert, bool add) {
  if (add) {
    (*map)[key].insert(alert);
    return;
  }
  auto it = map->find(key);
  if (it == map->end()) return;
  it->second.erase(alert);
  if (it->second.empty()) map->erase(it);
}

}  // namespace

void AlertTable::Index(Entry e, bool add) {
  const std::string &name = e->second.labels["alertname"];
  IndexOne(&byName_, name, &e->first, add);
  for (size_t i = 0; i < e->second.args.size(); ++i)
    IndexOne(&byArg_, ArgIndexKey(name, i, e->second.args[i]), &e->first, add);
}

std::vector<AlertTable::Entry> AlertTable::Candidates(const std::string &ended,
                                                      const std::vector<ArgValue> &args,
                                                      unsigned enderArg, unsigned endedArg,
                                                      bool byArg) {
  std::vector<Entry> found;
  const std::unordered_set<const std::string *> *keys = nullptr;
  if (!byArg) {
    auto it = byName_.find(ended);
    if (it != byName_.end()) keys = &it->second;
  } else if (enderArg < args.size()) {
    auto it = byArg_.find(ArgIndexKey(ended, endedArg, args[enderArg]));
    if (it != byArg_.end()) keys = &it->second;
  }
  if (keys != nullptr)
    for (const std::string *key : *keys) found.push_back(alerts_.find(*key));
  return found;
}

void AlertTable::MarkDue(Entry e, uint64_t nowUs) {
  Alert &alert = e->second;
  alert.dueSinceUs.resize(managers_, 0);
  alert.rejected.resize(managers_, false);
  for (size_t m = 0; m < managers_; ++m) {
    alert.rejected[m] = false;
    if (alert.dueSinceUs[m] == 0) SetDue(e, m, std::max<uint64_t>(nowUs, 1));
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
  std::map<std::string, std::string> labels = LabelsOf(flare, kind, options_.host);
  std::string key = AlertKey(labels);
  auto it = alerts_.find(key);
  if (it == alerts_.end()) {
    if (alerts_.size() >= options_.maxAlerts) DropOldest(applied);
    it = alerts_.emplace(key, Alert{}).first;
    it->second.labels = std::move(labels);
  } else {
    Index(it, false);
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
  alert.args = ArgValues(flare.args);
  alert.flareUs = flare.timeUs;
  Index(it, true);
  MarkDue(it, nowUs);
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
    for (Entry entry :
         Candidates(row.ended, args, row.match[0].ender, row.match[0].ended, row.matches > 0)) {
      Alert &alert = entry->second;
      if (alert.endsUs != 0 && alert.endsUs <= flare.timeUs) continue;  // over already
      bool match = true;
      for (unsigned k = 0; k < row.matches && match; ++k)
        match = SameArg(args, row.match[k].ender, alert.args, row.match[k].ended);
      if (!match) continue;
      alert.endsUs = std::max(flare.timeUs, alert.startsUs);
      alert.flareUs = flare.timeUs;
      MarkDue(entry, nowUs);
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
      if (!alert.rejected[m] && alert.dueSinceUs[m] == 0)
        SetDue(e, m, std::max<uint64_t>(nowUs, 1));
  }
}

size_t AlertTable::Expire(uint64_t nowUs) {
  size_t gone = 0;
  for (auto it = alerts_.begin(); it != alerts_.end();) {
    const Alert &alert = it->second;
    bool over = alert.endsUs != 0 && alert.endsUs <= nowUs;
    bool due = std::any_of(alert.dueSinceUs.begin(), alert.dueSinceUs.end(),
                           [](uint64_t since) { return since != 0; });
    if (over && !due) {
      Erase(it++);
      ++gone;
    } else {
      ++it;
    }
  }
  return gone;
}

std::vector<std::string> AlertTable::Due(size_t m, size_t max) const {
  std::vector<std::string> keys;
  for (auto it = due_[m].begin(); it != due_[m].end() && keys.size() < max; ++it)
    keys.push_back(*it->second);
  return keys;
}

std::string AlertTable::Body(const std::vector<std::string> &keys) const {
  tools::Json body = tools::Json::array();
  for (const std::string &key : keys) {
    auto it = alerts_.find(key);
    if (it == alerts_.end()) continue;
    const Alert &alert = it->second;
    tools::Json a = {{"labels", alert.labels},
                     {"annotations", {{"summary", alert.summary}}},
                     {"startsAt", Rfc3339(alert.startsUs)}};
    if (alert.endsUs != 0) a["endsAt"] = Rfc3339(alert.endsUs);
    body.push_back(std::move(a));
  }
  return body.dump(-1, ' ', false, tools::Json::error_handler_t::replace);
}

void AlertTable::Delivered(size_t m, const std::vector<std::string> &keys, uint64_t sentUs) {
  for (const std::string &key : keys) {
    auto it = alerts_.find(key);
    // Changed again after the send began: still due.
    if (it != alerts_.end() && it->second.dueSinceUs[m] <= sentUs) SetDue(it, m, 0);
  }
}

void AlertTable::Rejected(size_t m, const std::string &key) {
  auto it = alerts_.find(key);
  if (it == alerts_.end()) return;
  SetDue(it, m, 0);
  it->second.rejected[m] = true;
}

size_t AlertTable::Firing(uint64_t nowUs) const {
  size_t n = 0;
  for (const auto &entry : alerts_)
    if (entry.second.endsUs == 0 || entry.second.endsUs > nowUs) ++n;
  return n;
}

std::string AlertTable::StateLines(const std::vector<std::string> &urls) const {
  std::string text;
  for (const auto &entry : alerts_) {
    const Alert &alert = entry.second;
    tools::Json due = tools::Json::object();
    tools::Json rejected = tools::Json::array();
    for (size_t m = 0; m < urls.size() && m < managers_; ++m) {
      if (alert.dueSinceUs[m] != 0) due[urls[m]] = alert.dueSinceUs[m];
      if (alert.rejected[m]) rejected.push_back(urls[m]);
    }
    tools::Json line = {{"labels", alert.labels},
                        {"summary", alert.summary},
                        {"args", ArgItems(alert.args)},
                        {"starts_us", alert.startsUs},
                        {"ends_us", alert.endsUs},
                        {"flare_us", alert.flareUs},
                        {"due", due},
                        {"rejected", rejected}};
    text += line.dump(-1, ' ', false, tools::Json::error_handler_t::replace);
    text += '\n';
  }
  return text;
}

bool AlertTable::LoadLine(const std::string &text, const std::vector<std::string> &known,
                          const std::vector<std::string> &urls, uint64_t nowUs, std::string *why) {
  tools::Json a = tools::Json::parse(text, nullptr, false);
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
  for (const auto &l : a["labels"].items()) {
    if (!l.value().is_string()) {
      *why = "a label is not a text";
      return false;
    }
    alert.labels[l.key()] = l.value().get<std::string>();
  }
  alert.summary = a["summary"].get<std::string>();
  alert.args = ArgValues(a["args"]);
  alert.startsUs = a["starts_us"].get<uint64_t>();
  alert.endsUs = a["ends_us"].get<uint64_t>();
  alert.flareUs = a["flare_us"].get<uint64_t>();
  alert.dueSinceUs.assign(managers_, 0);
  alert.rejected.assign(managers_, false);
  std::string key = AlertKey(alert.labels);
  auto old = alerts_.find(key);
  if (old != alerts_.end()) Erase(old);
  auto e = alerts_.emplace(key, std::move(alert)).first;
  Index(e, true);
  for (size_t m = 0; m < urls.size() && m < managers_; ++m) {
    if (std::find(known.begin(), known.end(), urls[m]) == known.end()) {
      SetDue(e, m, std::max<uint64_t>(nowUs, 1));
      continue;
    }
    auto due = a["due"].find(urls[m]);
    if (due != a["due"].end() && due->is_number_unsigned() && *due != 0)
      SetDue(e, m, due->get<uint64_t>());
    for (const tools::Json &r : a["rejected"])
      if (r == urls[m]) e->second.rejected[m] = true;
  }
  return true;
}

}  // namespace wispalert
