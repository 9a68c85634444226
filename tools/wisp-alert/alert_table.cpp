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
    : options_(std::move(options)), managers_(managers) {}

void AlertTable::MarkDue(Alert *alert, uint64_t nowUs) {
  alert->dueSinceUs.resize(managers_, 0);
  alert->rejected.resize(managers_, false);
  for (size_t m = 0; m < managers_; ++m) {
    alert->rejected[m] = false;
    if (alert->dueSinceUs[m] == 0) alert->dueSinceUs[m] = std::max<uint64_t>(nowUs, 1);
  }
}

void AlertTable::DropOldest(Applied *applied) {
  auto oldest = alerts_.end();
  for (auto it = alerts_.begin(); it != alerts_.end(); ++it)
    if (oldest == alerts_.end() || it->second.flareUs < oldest->second.flareUs) oldest = it;
  if (oldest == alerts_.end()) return;
  alerts_.erase(oldest);
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
  alert.args = flare.args;
  alert.flareUs = flare.timeUs;
  MarkDue(&alert, nowUs);
}

Applied AlertTable::Apply(const Flare &flare, uint64_t nowUs) {
  Applied applied;
  bool ender = false;
  for (unsigned r = 0; r < kClearRowCount; ++r) {
    const ClearRow &row = kClearRows[r];
    if (flare.id != row.ender) continue;
    ender = true;
    for (auto &entry : alerts_) {
      Alert &alert = entry.second;
      if (alert.labels["alertname"] != row.ended) continue;
      if (alert.endsUs != 0 && alert.endsUs <= flare.timeUs) continue;  // over already
      bool match = true;
      for (unsigned k = 0; k < row.matches && match; ++k)
        match = SameArg(flare.args, row.match[k].ender, alert.args, row.match[k].ended);
      if (!match) continue;
      alert.endsUs = std::max(flare.timeUs, alert.startsUs);
      alert.flareUs = flare.timeUs;
      MarkDue(&alert, nowUs);
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
  for (auto &entry : alerts_) {
    Alert &alert = entry.second;
    if (alert.endsUs != 0 && alert.endsUs <= nowUs) continue;
    alert.dueSinceUs.resize(managers_, 0);
    alert.rejected.resize(managers_, false);
    for (size_t m = 0; m < managers_; ++m)
      if (!alert.rejected[m] && alert.dueSinceUs[m] == 0) alert.dueSinceUs[m] = nowUs;
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
      it = alerts_.erase(it);
      ++gone;
    } else {
      ++it;
    }
  }
  return gone;
}

std::vector<std::string> AlertTable::Due(size_t m, size_t max) const {
  std::vector<std::pair<uint64_t, const std::string *>> due;
  for (const auto &entry : alerts_) {
    const Alert &alert = entry.second;
    if (m < alert.dueSinceUs.size() && alert.dueSinceUs[m] != 0)
      due.emplace_back(alert.dueSinceUs[m], &entry.first);
  }
  size_t n = std::min(max, due.size());
  std::partial_sort(due.begin(), due.begin() + static_cast<ptrdiff_t>(n), due.end());
  std::vector<std::string> keys;
  for (size_t i = 0; i < n; ++i) keys.push_back(*due[i].second);
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
    if (it == alerts_.end() || m >= it->second.dueSinceUs.size()) continue;
    // Changed again after the send began: still due.
    if (it->second.dueSinceUs[m] <= sentUs) it->second.dueSinceUs[m] = 0;
  }
}

void AlertTable::Rejected(size_t m, const std::string &key) {
  auto it = alerts_.find(key);
  if (it == alerts_.end() || m >= it->second.dueSinceUs.size()) return;
  it->second.dueSinceUs[m] = 0;
  it->second.rejected[m] = true;
}

size_t AlertTable::Pending(size_t m) const {
  size_t n = 0;
  for (const auto &entry : alerts_)
    if (m < entry.second.dueSinceUs.size() && entry.second.dueSinceUs[m] != 0) ++n;
  return n;
}

uint64_t AlertTable::OldestDueUs(size_t m) const {
  uint64_t oldest = 0;
  for (const auto &entry : alerts_) {
    if (m >= entry.second.dueSinceUs.size()) continue;
    uint64_t since = entry.second.dueSinceUs[m];
    if (since != 0 && (oldest == 0 || since < oldest)) oldest = since;
  }
  return oldest;
}

size_t AlertTable::Firing(uint64_t nowUs) const {
  size_t n = 0;
  for (const auto &entry : alerts_)
    if (entry.second.endsUs == 0 || entry.second.endsUs > nowUs) ++n;
  return n;
}

tools::Json AlertTable::ToJson(const std::vector<std::string> &urls) const {
  tools::Json list = tools::Json::array();
  for (const auto &entry : alerts_) {
    const Alert &alert = entry.second;
    tools::Json due = tools::Json::object();
    tools::Json rejected = tools::Json::array();
    for (size_t m = 0; m < urls.size() && m < alert.dueSinceUs.size(); ++m) {
      if (alert.dueSinceUs[m] != 0) due[urls[m]] = alert.dueSinceUs[m];
      if (alert.rejected[m]) rejected.push_back(urls[m]);
    }
    list.push_back({{"labels", alert.labels},
                    {"summary", alert.summary},
                    {"args", alert.args},
                    {"starts_us", alert.startsUs},
                    {"ends_us", alert.endsUs},
                    {"flare_us", alert.flareUs},
                    {"due", due},
                    {"rejected", rejected}});
  }
  return {{"alertmanagers", urls}, {"alerts", list}};
}

bool AlertTable::FromJson(const tools::Json &doc, const std::vector<std::string> &urls,
                          uint64_t nowUs, std::string *why) {
  *why = "not a table of alerts";
  if (!doc.is_object() || !doc.value("alertmanagers", tools::Json()).is_array() ||
      !doc.value("alerts", tools::Json()).is_array())
    return false;
  const tools::Json &known = doc["alertmanagers"];
  std::map<std::string, Alert> alerts;
  for (const tools::Json &a : doc["alerts"]) {
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
    alert.args = a["args"];
    alert.startsUs = a["starts_us"].get<uint64_t>();
    alert.endsUs = a["ends_us"].get<uint64_t>();
    alert.flareUs = a["flare_us"].get<uint64_t>();
    alert.dueSinceUs.assign(managers_, 0);
    alert.rejected.assign(managers_, false);
    for (size_t m = 0; m < urls.size() && m < managers_; ++m) {
      if (std::find(known.begin(), known.end(), urls[m]) == known.end()) {
        alert.dueSinceUs[m] = std::max<uint64_t>(nowUs, 1);
        continue;
      }
      auto due = a["due"].find(urls[m]);
      if (due != a["due"].end() && due->is_number_unsigned() && *due != 0)
        alert.dueSinceUs[m] = due->get<uint64_t>();
      for (const tools::Json &r : a["rejected"])
        if (r == urls[m]) alert.rejected[m] = true;
    }
    std::string key = AlertKey(alert.labels);
    alerts[key] = std::move(alert);
  }
  alerts_ = std::move(alerts);
  return true;
}

}  // namespace wispalert
