// Why a flare did not come (or came): read back from the trace lines, the
// daemon's log and which correlators each observation woke. Each
// expectation is held against its nearest arrival and what became of the
// flare it asks for: taken by another expectation, late, held back in the
// retry queue, dropped by the rate window, or never built.
#include <algorithm>
#include <limits>
#include <set>

#include "check.h"
#include "evidence.h"
#include "output/wispdFlare.h"

namespace scenario {

namespace {

// The daemon's own log texts this reads (apps/wispd/output/wispdFlare.cpp).
std::string Queued(const std::string &id) {
  return "An event (" + id + ") could not be sent immediately to hubd; queueing for retry.";
}
std::string Resent(const std::string &id) {
  return "Successfully sent event (" + id + ")";
}
std::string RetryFailed(const std::string &id) {
  return "Failed to send event (" + id + ")";
}
std::string Abandoned(const std::string &id) {
  return "Abandoned event (" + id + ")";
}
const std::string kRateDropped = "Event rate limit reached. Dropping flare: ";
// A built flare's log line ends "us: [id] message" (LogFlare).
std::string BuiltLine(const std::string &id, const std::string &message) {
  return "us: [" + id + "] " + message;
}

bool EndsWith(const std::string &s, const std::string &end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

std::string Plural(size_t n, const std::string &what) {
  return std::to_string(n) + " " + what + (n == 1 ? "" : what.back() == 's' ? "es" : "s");
}

std::string Sec(int64_t at) {
  return std::to_string(at) + " s";
}

// The log lines holding text, in order.
std::vector<const Evidence::Logged *> Logged(const Evidence &ev, const std::string &text) {
  std::vector<const Evidence::Logged *> out;
  for (const Evidence::Logged &l : ev.log)
    if (l.text.find(text) != std::string::npos) out.push_back(&l);
  return out;
}

size_t CountIn(const Evidence &ev, const std::string &id, int64_t upTo) {
  size_t n = 0;
  for (const Evidence::Traced &t : ev.trace) n += t.line.in && t.line.id == id && t.at <= upTo;
  return n;
}

// When the daemon built the flare the expectation asks for: OUT lines of
// its id with its arguments, or, for a message alone, the log's flare lines.
std::vector<int64_t> BuiltAt(const Evidence &ev, const FlareExpectation &e) {
  std::vector<int64_t> at;
  if (e.hasMessage && !e.hasArgs) {
    for (const Evidence::Logged &l : ev.log)
      if (EndsWith(l.text, BuiltLine(e.id, e.message))) at.push_back(l.at);
    return at;
  }
  for (const Evidence::Traced &t : ev.trace)
    if (!t.line.in && t.line.id == e.id && (!e.hasArgs || SameArgs(e.args, t.line.args)))
      at.push_back(t.at);
  return at;
}

// Where BuiltAt found it.
std::string BuiltSource(const FlareExpectation &e) {
  return e.hasMessage && !e.hasArgs ? "its log line" : "OUT trace line";
}

// "storage" of "tarn.problem.storage.apd.start" or "wisp.storage.apd.start".
std::string Family(const std::string &id) {
  size_t skip = id.rfind("tarn.", 0) == 0 ? 2 : 1;
  size_t at = 0;
  for (size_t i = 0; i < skip && at != std::string::npos; ++i) {
    at = id.find('.', at);
    if (at != std::string::npos) ++at;
  }
  if (at == std::string::npos) return id;
  return id.substr(at, id.find('.', at) - at);
}

// How many leading words an observation id ("wisp.net.pnic.linkstate.down")
// shares with a flare id ("tarn.problem.net.pnic.linkstate.down").
size_t SharedWords(const std::string &observation, const std::string &flare) {
  auto words = [](const std::string &id, size_t skip) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t i = 0; start <= id.size(); ++i) {
      size_t dot = id.find('.', start);
      if (i >= skip) out.push_back(id.substr(start, dot - start));
      if (dot == std::string::npos) break;
      start = dot + 1;
    }
    return out;
  };
  std::vector<std::string> a = words(observation, 1), b = words(flare, 2);
  size_t n = 0;
  while (n < a.size() && n < b.size() && a[n] == b[n]) ++n;
  return n;
}

// Why a flare built at `built` could not go at once: hubd stopped by a step,
// or the correlator queued it without a first attempt.
std::string WhyQueued(const Scenario &sc, int64_t built) {
  const Step *hubd = nullptr;
  for (const Step &s : sc.steps)
    if (s.at <= built && (s.kind == Step::kHubdDown || s.kind == Step::kHubdUp)) hubd = &s;
  if (hubd != nullptr && hubd->kind == Step::kHubdDown)
    return "hubd was away (stopped at " + Sec(hubd->at) + ", line " + std::to_string(hubd->line) +
           ")";
  return "held back for the retry pass (queued without a first attempt)";
}

// How a flare of e's content that hubd had at `arrived` came so late.
std::string LatePath(const Scenario &sc, const Evidence &ev, const FlareExpectation &e,
                     int64_t arrived) {
  int64_t built = -1;
  for (int64_t at : BuiltAt(ev, e))
    if (at <= arrived) built = at;
  if (built < 0) return "";
  if (built < arrived) {
    std::string s = "      the daemon built it at " + Sec(built) + " (" + BuiltSource(e) +
                    ") but could not send it at once: " + WhyQueued(sc, built);
    for (const Evidence::Logged *l : Logged(ev, Queued(e.id)))
      if (l->at == built) {
        s += " (log at " + Sec(built) + ")";
        break;
      }
    return s + "; a retry pass sent it at " + Sec(arrived) + " (the queue is retried every " +
           Sec(FLARE_RETRY_SECONDS) + ")\n";
  }
  // Sent at once: the correlator built it only then, from the observation
  // whose id is nearest the flare's (an observation that came in the same
  // second for another reason is not its cause), the latest of those.
  const Evidence::Traced *cause = nullptr;
  size_t best = 0;
  for (const Evidence::Traced &t : ev.trace) {
    if (!t.line.in || t.at > built) continue;
    size_t near = SharedWords(t.line.id, e.id);
    if (cause == nullptr || near >= best) {
      cause = &t;
      best = near;
    }
  }
  if (cause != nullptr && cause->at == built)
    return "      the daemon built it only at " + Sec(built) + ", when " + cause->line.id +
           " arrived (IN trace line)\n";
  if (cause != nullptr)
    return "      the daemon built it only at " + Sec(built) + " on a timer: the correlator held " +
           "it back " + Sec(built - cause->at) + " after the observation it came from (" +
           cause->line.id + " at " + Sec(cause->at) + ", IN trace line)\n";
  return "      the daemon built it only at " + Sec(built) + " on a timer\n";
}

// What the retry queue did with flares of e's id that hubd never had.
std::string HeldBack(const Scenario &sc, const Evidence &ev, const FlareExpectation &e,
                     int64_t built) {
  std::vector<const Evidence::Logged *> queued = Logged(ev, Queued(e.id));
  std::vector<const Evidence::Logged *> gone = Logged(ev, Abandoned(e.id));
  size_t resent = Logged(ev, Resent(e.id)).size();
  if (!gone.empty())
    return "        the retry queue gave it up after its last retry (log at " +
           Sec(gone.front()->at) + ")\n";
  if (queued.size() > resent) {
    int64_t since = queued.front()->at;
    for (const Evidence::Logged *l : queued)
      if (l->at <= built) since = l->at;
    size_t failed = Logged(ev, RetryFailed(e.id)).size();
    return "        it waits in the retry queue since " + Sec(since) + ": " + WhyQueued(sc, since) +
           (failed == 0 ? "" : "; " + Plural(failed, "retry pass") + " could not send it either") +
           "; still queued at the end (" + Sec(sc.end) + "; the queue is retried every " +
           Sec(FLARE_RETRY_SECONDS) + ")\n";
  }
  return "        hubd did not record it (see hubd.jsonl with --keep)\n";
}

// The rate windows that dropped flares of id, as the daemon counts them: a
// window opens with the first flare that comes more than a window after the
// last one opened; a restart starts afresh.
std::string RateDropped(const Scenario &sc, const Evidence &ev, const std::string &id) {
  struct Event {
    int64_t at;
    bool dropped;
    std::string id;
  };
  std::vector<Event> events;
  for (const Evidence::Traced &t : ev.trace)
    if (!t.line.in) events.push_back({t.at, false, t.line.id});
  for (const Evidence::Logged &l : ev.log) {
    size_t at = l.text.find(kRateDropped);
    if (at != std::string::npos)
      events.push_back({l.at, true, l.text.substr(at + kRateDropped.size())});
  }
  // Within one second the admitted ones came first: only a full window drops.
  std::stable_sort(events.begin(), events.end(), [](const Event &a, const Event &b) {
    return a.at != b.at ? a.at < b.at : !a.dropped && b.dropped;
  });
  std::vector<int64_t> restarts;
  for (const Step &s : sc.steps)
    if (s.kind == Step::kRestart) restarts.push_back(s.at);
  struct Window {
    int64_t opened;
    std::string first;
    size_t dropped = 0;
    int64_t firstDrop = -1;
  };
  std::vector<Window> windows;
  bool open = false;
  size_t restart = 0;
  int64_t opened = 0;
  std::string first;
  for (const Event &x : events) {
    while (restart < restarts.size() && restarts[restart] <= x.at) {
      open = false;
      ++restart;
    }
    if (!open || x.at - opened > FLARE_RATE_WINDOW - 1 || x.at < opened) {
      open = true;
      opened = x.at;
      first = x.id;
    }
    if (!x.dropped || x.id != id) continue;
    if (windows.empty() || windows.back().opened != opened) windows.push_back({opened, first});
    if (windows.back().dropped++ == 0) windows.back().firstDrop = x.at;
  }
  std::string s;
  for (const Window &w : windows)
    s += "      the rate window (" + std::to_string(FLARE_RATE_MAX) + " flares in " +
         Sec(FLARE_RATE_WINDOW) + ") dropped " + Plural(w.dropped, "flare") +
         " of this id, the first at " + Sec(w.firstDrop) + " (log: \"" + kRateDropped + id +
         "\"); that window opened at " + Sec(w.opened) + " with its first flare [" + w.first +
         "] (OUT trace line)\n";
  return s;
}

// What became of the observations sent up to `upTo` that could have led to
// a flare of id: those of its family first, then, unless familyOnly finds
// some of its family, the others. Sets *readFailed when the log shows a
// failed argument read of one of its family.
std::string Observations(const Outcome &out, const Evidence &ev, const std::string &flareId,
                         int64_t upTo, bool familyOnly, bool *readFailed) {
  std::vector<std::string> ids;
  for (int pass = 0; pass < 2 && !(pass == 1 && familyOnly && !ids.empty()); ++pass)
    for (const Delivery &d : out.deliveries)
      for (const std::string &id : d.step->ids)
        if (d.step->at <= upTo && (Family(id) == Family(flareId)) == (pass == 0) &&
            std::find(ids.begin(), ids.end(), id) == ids.end())
          ids.push_back(id);
  if (ids.empty()) return "      no observation was sent\n";
  std::string s;
  for (const std::string &id : ids) {
    size_t sent = 0;
    std::set<std::string> by;
    for (const Delivery &d : out.deliveries)
      if (d.step->at <= upTo &&
          std::find(d.step->ids.begin(), d.step->ids.end(), id) != d.step->ids.end()) {
        sent += std::count(d.step->ids.begin(), d.step->ids.end(), id);
        by.insert(d.woken.begin(), d.woken.end());
      }
    size_t arrived = CountIn(ev, id, upTo);
    s += "      " + id + ": sent " + std::to_string(sent) + ", " + std::to_string(arrived) +
         " arrived (IN trace lines)";
    if (arrived == 0) {
      s += "; it never reached the daemon\n";
      continue;
    }
    if (by.empty()) {
      s += "; no correlator took it\n";
      continue;
    }
    s += "; taken by";
    for (const std::string &name : by) s += " " + name;
    s += "\n";
    for (const std::string &l : out.log) {
      if (l.find(id) == std::string::npos) continue;
      // The words of a failure outside the id ("wisp.uw.core.dumpFailed").
      std::string rest = l;
      for (size_t at; (at = rest.find(id)) != std::string::npos;) rest.erase(at, id.size());
      if (rest.find("Failed") == std::string::npos && rest.find("Invalid") == std::string::npos)
        continue;
      s += "        an argument read failed: " + l + "\n";
      *readFailed = *readFailed || Family(id) == Family(flareId);
    }
  }
  return s;
}

}  // namespace

std::string ExplainMissing(const Scenario &sc, const Outcome &out, const Evidence &ev,
                           const FlareExpectation &e, const std::vector<int> &takenBy) {
  std::string why = "    why:\n";
  // Flares of its id with its message and arguments: they came, but late or
  // for another expectation.
  // The earliest late one, one that no other expectation took if any.
  size_t lateAt = out.flares.size(), hits = 0;
  std::string taken;
  for (size_t i = 0; i < out.flares.size(); ++i) {
    const Received &r = out.flares[i];
    if (r.line.value("id", "") != e.id || !SameContent(e, r.line)) continue;
    ++hits;
    if (e.by >= 0 && r.at > e.by) {
      if (lateAt == out.flares.size() || (takenBy[lateAt] != 0 && takenBy[i] == 0)) lateAt = i;
    } else if (takenBy[i] != 0) {
      taken += "      the one at " + Sec(r.at) + " met the expectation at line " +
               std::to_string(takenBy[i]) + " (each flare received meets one expectation, " +
               "in file order)\n";
    }
  }
  const Received *late = lateAt < out.flares.size() ? &out.flares[lateAt] : nullptr;
  if (late != nullptr)
    why += "      late: hubd had it at " + Sec(late->at) + ", " + Sec(late->at - e.by) +
           " after \"by\" (" + Sec(e.by) + ")\n" + LatePath(sc, ev, e, late->at);
  std::vector<int64_t> built = BuiltAt(ev, e);
  if (late != nullptr || !taken.empty()) {
    why += taken;
    // More were built than came: the rest may wait in the queue.
    if (built.size() > hits)
      why += "      the daemon built it " + Plural(built.size(), "time") + " (" + BuiltSource(e) +
             "), hubd had " + std::to_string(hits) + ":\n" + HeldBack(sc, ev, e, built.back());
    return why;
  }

  bool sameId = false;
  for (const Received &r : out.flares) sameId = sameId || r.line.value("id", "") == e.id;
  if (sameId && (e.hasMessage || e.hasArgs))
    why += std::string("      the flares of this id that came (nearest first, above) carry ") +
           (e.hasMessage && e.hasArgs ? "another message or other arguments"
            : e.hasMessage            ? "another message"
                                      : "other arguments") +
           "\n";
  if (!built.empty()) {
    why += "      the daemon built it " + Plural(built.size(), "time") + ", first at " +
           Sec(built.front()) + " (" + BuiltSource(e) + "), but hubd never had it:\n";
    return why + HeldBack(sc, ev, e, built.front());
  }
  std::string dropped = RateDropped(sc, ev, e.id);
  if (!dropped.empty()) return why + dropped;
  bool readFailed = false;
  std::string observations =
      Observations(out, ev, e.id, std::numeric_limits<int64_t>::max(), false, &readFailed);
  // Flares of its id came with other contents, and no read of its family
  // failed: that is the whole answer, the observations asked for no other.
  if (sameId && (e.hasMessage || e.hasArgs) && !readFailed) return why;
  why += "      the daemon never built it; the observations, its family first:\n";
  why += observations;
  if (!readFailed)
    why +=
        "      no read failed: the correlator kept it back (a window, threshold, hold-back "
        "or quiet period) or the host model did not meet its condition\n";
  return why;
}

std::string ExplainUnwanted(const Scenario &, const Outcome &out, const Evidence &ev,
                            const Received &r) {
  bool readFailed = false;
  return "    why: the daemon built it from these observations (its family's, up to " + Sec(r.at) +
         "):\n" + Observations(out, ev, r.line.value("id", ""), r.at, true, &readFailed);
}

}  // namespace scenario
