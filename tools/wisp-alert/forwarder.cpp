#include "forwarder.h"

#include <stdio.h>

#include <algorithm>
#include <chrono>

#include "catalogue.h"
#include "flare_line.h"
#include "pelldan/version.h"
#include "state_file.h"

namespace wispalert {

namespace {

// Posts to one Alertmanager in one round.
constexpr size_t kPostsAtOnce = 4;
// Ended alerts are looked for at most this often.
constexpr uint64_t kExpireEveryUs = 1000000;
// The state file is written this much at a time.
constexpr size_t kStatePiece = 256 << 10;
// Unknown flare ids logged (each once); more are only counted.
constexpr size_t kUnknownIdsLogged = 1000;

bool Success(long status) {
  return status >= 200 && status < 300;
}

std::string LabelValue(const std::string &text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

}  // namespace

std::string Printable(std::string_view bytes, size_t max) {
  std::string out;
  for (size_t i = 0; i < bytes.size() && i < max; ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c >= 32 && c < 127) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  if (bytes.size() > max) out += "...";
  return out;
}

Forwarder::Forwarder(ForwarderOptions options, Poster *poster, Clock clock, Log log)
    : options_(std::move(options)),
      poster_(poster),
      clock_(std::move(clock)),
      log_(std::move(log)),
      journal_(options_.journal, log_),
      table_(options_.table, options_.urls.size()),
      managers_(options_.urls.size()) {}

void Forwarder::Start() {
  std::lock_guard<std::mutex> hold(lock_);
  uint64_t now = clock_();
  JournalPosition pos;
  std::vector<std::string> known;
  std::string why, first;
  StateLoad load = LoadState(
      options_.state, &pos, &known,
      [&](std::string_view line) {
        std::string bad;
        if (!table_.LoadLine(line, known, options_.urls, now, &bad) && damaged_++ == 0) first = bad;
      },
      &why);
  if (load == StateLoad::BAD) {
    std::string aside = options_.state + ".bad";
    rename(options_.state.c_str(), aside.c_str());
    log_("state file " + options_.state + " does not decode (" + why + "); set aside as " + aside +
         ", reading the journal from its start");
  }
  if (damaged_ > 0) {
    // The flares that raised those alerts are before the position: reading
    // again from the oldest file that may hold them raises them again (the
    // others are raised again unchanged).
    log_("state file " + options_.state + " holds " + std::to_string(damaged_) +
         " alert line(s) that do not decode (the first: " + first +
         "); reading the journal again from its oldest file to raise them again");
    journal_.RestoreEarliest(pos);
  } else {
    journal_.Restore(load == StateLoad::LOADED ? pos : JournalPosition());
  }
  // What fired before the restart is sent again at once: an Alertmanager
  // may have been restarted too.
  table_.MarkFiringDue(now);
  nextResendUs_ = now + options_.resendUs;
  dirty_ = true;
}

void Forwarder::ReadJournal(uint64_t now, bool *more) {
  std::vector<std::string> lines;
  std::vector<JournalPosition> after;
  std::vector<uint64_t> skipped;
  journal_.Read(options_.linesPerTurn, &lines, &after, &skipped);
  for (uint64_t at : skipped) {
    ++tooLong_;
    log_("journal line starting at byte " + std::to_string(at) + " is longer than " +
         std::to_string(Journal::kMaxLine) + " bytes, skipped");
    dirty_ = true;
  }
  for (size_t i = 0; i < lines.size(); ++i) {
    ++lines_;
    Flare flare;
    std::string why;
    switch (DecodeLine(lines[i], &flare, &why)) {
      case LineKind::FLARE: {
        ++flares_;
        if (FindFlare(flare.id) == nullptr) Unknown(flare.id, after[i].offset);
        Applied applied = table_.Apply(flare, now);
        raised_ += applied.raised;
        ended_ += applied.ended;
        if (applied.dropped > 0) {
          dropped_ += applied.dropped;
          log_("more than " + std::to_string(options_.table.maxAlerts) +
               " alerts held; the oldest is forgotten");
        }
        break;
      }
      case LineKind::HUBD_ERROR:
        ++hubdErrors_;
        break;
      case LineKind::BAD:
        ++undecodable_;
        log_("journal line ending at byte " + std::to_string(after[i].offset) +
             " does not decode (" + why + "), skipped: " + Printable(lines[i]));
        break;
    }
  }
  if (!lines.empty()) dirty_ = true;
  *more = lines.size() == options_.linesPerTurn;
}

void Forwarder::Unknown(const std::string &id, uint64_t offset) {
  ++unknown_;
  // Once per id, within a bound: ids come from the journal.
  if (unknownIds_.size() >= kUnknownIdsLogged || !unknownIds_.insert(id).second) return;
  log_("flare id \"" + Printable(id, 100) + "\" (journal line ending at byte " +
       std::to_string(offset) +
       ") is not in this wisp-alert's catalogue (a newer daemon's?): its alerts carry only "
       "alertname, host and kind");
}

std::string Forwarder::Describe(const Labels &key) const {
  const Alert *alert = table_.Find(key);
  if (alert == nullptr) return "(gone)";
  std::string text;
  key.ForEach([&text](std::string_view name, std::string_view value) {
    if (!text.empty()) text += ' ';
    text.append(name);
    text += "=\"" + Printable(value, 100) + "\"";
  });
  return text + " summary=\"" + Printable(alert->summary) + "\"";
}

void Forwarder::Failed(size_t m, size_t alerts, const Answer &answer, uint64_t now) {
  Manager &mg = managers_[m];
  ++mg.failedPosts;
  mg.retried += alerts;
  mg.backoffUs =
      mg.backoffUs == 0 ? options_.backoffMinUs : std::min(options_.backoffMaxUs, mg.backoffUs * 2);
  mg.nextTryUs = now + mg.backoffUs;
  if (mg.failing++ == 0)
    log_("cannot post to " + options_.urls[m] + " (" +
         (answer.status != 0 ? "HTTP " + std::to_string(answer.status) + ": " : "") +
         Printable(answer.text) + "); retrying with back-off");
}

void Forwarder::Settle(size_t m, const std::vector<Labels> &keys, const Answer &answer,
                       uint64_t sentUs) {
  Manager &mg = managers_[m];
  if (Success(answer.status)) {
    table_.Delivered(m, keys, sentUs);
    mg.forwarded += keys.size();
    if (mg.failing > 0)
      log_(options_.urls[m] + " takes alerts again after " + std::to_string(mg.failing) +
           " failed post(s)");
    mg.failing = 0;
    mg.backoffUs = 0;
    mg.nextTryUs = 0;
  } else if (answer.status == 400 && keys.size() == 1) {
    // Sending it again would get the same answer.
    ++mg.rejected;
    log_(options_.urls[m] + " refused an alert (HTTP 400: " + Printable(answer.text) +
         "): " + Describe(keys[0]));
    table_.Rejected(m, keys[0]);
  } else {
    Failed(m, keys.size(), answer, clock_());
  }
  dirty_ = true;
}

void Forwarder::Send(uint64_t now, bool *more, std::unique_lock<std::mutex> *hold) {
  struct Batch {
    size_t manager;
    std::vector<Labels> keys;
  };
  std::vector<Batch> batches;
  std::vector<Post> posts;
  for (size_t m = 0; m < managers_.size(); ++m) {
    if (managers_[m].nextTryUs > now) continue;
    // A backlog goes in a few posts at once, which Alertmanager takes side
    // by side; one that fails holds up no more than the others.
    std::vector<Labels> due = table_.Due(m, options_.batch * kPostsAtOnce);
    for (size_t from = 0; from < due.size();) {
      size_t count = std::min(options_.batch, due.size() - from);
      std::vector<Labels> keys(due.begin() + static_cast<ptrdiff_t>(from),
                               due.begin() + static_cast<ptrdiff_t>(from + count));
      std::string body = table_.Body(keys);
      while (body.size() > options_.batchBytes && keys.size() > 1) {
        keys.resize(keys.size() / 2);
        body = table_.Body(keys);
      }
      from += keys.size();
      batches.push_back({m, std::move(keys)});
      posts.push_back({m, std::move(body)});
    }
  }
  // Posted without the lock, so that Metrics() answers meanwhile; a batch
  // refused with 400 is posted again alert by alert to find the bad one.
  while (!posts.empty()) {
    hold->unlock();
    std::vector<Answer> answers = poster_->PostAll(posts);
    hold->lock();
    std::vector<Batch> singles;
    std::vector<Post> again;
    for (size_t i = 0; i < batches.size() && i < answers.size(); ++i) {
      const Batch &b = batches[i];
      if (answers[i].status == 400 && b.keys.size() > 1) {
        for (const Labels &key : b.keys) {
          singles.push_back({b.manager, {key}});
          again.push_back({b.manager, table_.Body({key})});
        }
        continue;
      }
      Settle(b.manager, b.keys, answers[i], now);
    }
    batches = std::move(singles);
    posts = std::move(again);
  }
  uint64_t after = clock_();
  for (size_t m = 0; m < managers_.size(); ++m)
    if (managers_[m].nextTryUs <= after && table_.Pending(m) > 0) *more = true;
}

bool Forwarder::Turn() {
  std::unique_lock<std::mutex> hold(lock_);
  uint64_t now = clock_();
  bool more = false;
  ReadJournal(now, &more);
  if (now >= nextResendUs_) {
    table_.MarkFiringDue(now);
    nextResendUs_ = now + options_.resendUs;
  }
  Send(now, &more, &hold);
  now = clock_();
  if (now >= nextExpireUs_) {
    nextExpireUs_ = now + kExpireEveryUs;
    if (table_.Expire(now) > 0) dirty_ = true;
  }
  if (dirty_ && now >= nextSaveUs_) SaveLocked(now, nullptr);
  return more;
}

bool Forwarder::Save(std::string *why) {
  std::lock_guard<std::mutex> hold(lock_);
  // What is on disk is current: a large table takes a second to write, and
  // a stop that came during a turn's own save need not wait for another.
  if (!dirty_) return true;
  return SaveLocked(clock_(), why);
}

bool Forwarder::SaveLocked(uint64_t now, std::string *failure) {
  std::string why;
  auto began = std::chrono::steady_clock::now();
  StateWriter out(options_.state);
  bool saved = out.Begin(journal_.Position(), options_.urls, &why);
  if (saved) {
    table_.StateLines(options_.urls, kStatePiece,
                      [&out](std::string *text) { return out.Write(text); });
    saved = out.Commit(&why);
  }
  // A large table is saved less often, so that saving takes at most a tenth
  // of the time.
  uint64_t tookUs = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                              std::chrono::steady_clock::now() - began)
                                              .count());
  nextSaveUs_ = now + std::max(options_.saveEveryUs, 10 * tookUs);
  if (saved) {
    if (saveFailures_ > 0) log_("state file written again");
    saveFailures_ = 0;
    dirty_ = false;
  } else if (saveFailures_++ == 0 && failure == nullptr) {
    log_(why + "; the state will be written when it can");
  }
  if (!saved && failure != nullptr) *failure = why;
  return saved;
}

uint64_t Forwarder::IdleUs() const {
  std::lock_guard<std::mutex> hold(lock_);
  uint64_t now = clock_();
  uint64_t wake = now + 5'000'000;
  wake = std::min(wake, nextResendUs_);
  if (dirty_) wake = std::min(wake, nextSaveUs_);
  for (size_t m = 0; m < managers_.size(); ++m)
    if (table_.Pending(m) > 0) wake = std::min(wake, managers_[m].nextTryUs);
  return wake > now ? wake - now : 0;
}

std::string Forwarder::Metrics() const {
  std::lock_guard<std::mutex> hold(lock_);
  uint64_t now = clock_();
  std::string out;
  auto metric = [&out](const char *name, const char *type, const char *help) {
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  };
  auto value = [&out](const std::string &series, uint64_t v) {
    out += series + " " + std::to_string(v) + "\n";
  };
  metric("wisp_alert_journal_lines_total", "counter", "Journal lines read, by what they held.");
  value("wisp_alert_journal_lines_total{line=\"flare\"}", flares_);
  value("wisp_alert_journal_lines_total{line=\"hubd_error\"}", hubdErrors_);
  value("wisp_alert_journal_lines_total{line=\"undecodable\"}", undecodable_);
  value("wisp_alert_journal_lines_total{line=\"too_long\"}", tooLong_);
  metric("wisp_alert_journal_refused_total", "counter",
         "Times the journal's path held no regular file (a symbolic link), which is not read.");
  value("wisp_alert_journal_refused_total", journal_.Refused());
  metric("wisp_alert_flares_unknown_total", "counter",
         "Flares whose id is not in this forwarder's catalogue (alertname, host and kind only).");
  value("wisp_alert_flares_unknown_total", unknown_);
  metric("wisp_alert_state_lines_damaged_total", "counter",
         "Alert lines of the state file that did not decode at start (raised again from the "
         "journal).");
  value("wisp_alert_state_lines_damaged_total", damaged_);
  metric("wisp_alert_alerts_raised_total", "counter", "Alerts a problem raised (or raised again).");
  value("wisp_alert_alerts_raised_total", raised_);
  metric("wisp_alert_alerts_ended_total", "counter", "Alerts a clear or recovery ended.");
  value("wisp_alert_alerts_ended_total", ended_);
  metric("wisp_alert_alerts_dropped_total", "counter", "Alerts forgotten over the table's bound.");
  value("wisp_alert_alerts_dropped_total", dropped_);
  metric("wisp_alert_alerts_firing", "gauge", "Alerts that fire now.");
  value("wisp_alert_alerts_firing", table_.Firing(now));
  metric("wisp_alert_alerts_held", "gauge", "Alerts held: firing, or ended and not yet sent.");
  value("wisp_alert_alerts_held", table_.Size());
  const struct {
    const char *name, *type, *help;
    std::function<uint64_t(size_t)> of;
  } perManager[] = {
      {"wisp_alert_alerts_forwarded_total", "counter", "Alerts an Alertmanager took.",
       [this](size_t m) { return managers_[m].forwarded; }},
      {"wisp_alert_alerts_rejected_total", "counter",
       "Alerts an Alertmanager refused (HTTP 400); they are not sent again.",
       [this](size_t m) { return managers_[m].rejected; }},
      {"wisp_alert_alerts_retried_total", "counter",
       "Alerts in posts that failed (no answer, 5xx), sent again later.",
       [this](size_t m) { return managers_[m].retried; }},
      {"wisp_alert_posts_failed_total", "counter", "Posts that failed.",
       [this](size_t m) { return managers_[m].failedPosts; }},
      {"wisp_alert_alerts_pending", "gauge", "Alerts waiting to be sent.",
       [this](size_t m) { return table_.Pending(m); }},
      {"wisp_alert_oldest_pending_age_seconds", "gauge",
       "How long the alert that has waited longest has waited.",
       [this, now](size_t m) {
         uint64_t since = table_.OldestDueUs(m);
         return since == 0 || since > now ? 0 : (now - since) / 1000000;
       }},
  };
  for (const auto &pm : perManager) {
    metric(pm.name, pm.type, pm.help);
    for (size_t m = 0; m < managers_.size(); ++m)
      value(std::string(pm.name) + "{alertmanager=\"" + LabelValue(options_.urls[m]) + "\"}",
            pm.of(m));
  }
  metric("wisp_alert_build_info", "gauge", "The version of the forwarder.");
  value("wisp_alert_build_info{version=\"" WISPD_VERSION "\"}", 1);
  return out;
}

}  // namespace wispalert
