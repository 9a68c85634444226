// Why a flare did not come (or came): read back from the trace lines, the
// daemon's log and which correlator threads each observation woke.
#include <algorithm>
#include <set>

#include "check.h"

namespace scenario {

namespace {

// The daemon's own log texts this reads (apps/wispd/output/wispdFlare.cpp).
std::string Queued(const std::string &id) {
  return "An event (" + id + ") could not be sent immediately to hubd; queueing for retry.";
}
std::string Resent(const std::string &id) {
  return "Successfully sent event (" + id + ")";
}
std::string Abandoned(const std::string &id) {
  return "Abandoned event (" + id + ")";
}
std::string RateDropped(const std::string &id) {
  return "Event rate limit reached. Dropping flare: " + id;
}

size_t CountLog(const Outcome &out, const std::string &text) {
  size_t n = 0;
  for (const std::string &l : out.log) n += l.find(text) != std::string::npos;
  return n;
}

// Trace lines of a direction and id: "time,DIR,ts,id,,args".
size_t CountTrace(const Outcome &out, const std::string &dir, const std::string &id) {
  std::string key = "," + dir + ",";
  size_t n = 0;
  for (const std::string &l : out.trace) {
    size_t d = l.find(key);
    if (d == std::string::npos) continue;
    size_t idAt = l.find(',', d + key.size());
    if (idAt == std::string::npos) continue;
    n += l.compare(idAt + 1, id.size() + 1, id + ",") == 0;
  }
  return n;
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

std::string Plural(size_t n, const char *what) {
  return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

// What became of the observations that could have led to a flare of id:
// those of its family first, then the others. Sets *readFailed when the
// log shows a failed argument read of one of its family.
std::string Observations(const Outcome &out, const std::string &flareId, bool *readFailed) {
  std::vector<std::string> ids;
  for (int pass = 0; pass < 2; ++pass)
    for (const Delivery &d : out.deliveries)
      if ((Family(d.step->id) == Family(flareId)) == (pass == 0) &&
          std::find(ids.begin(), ids.end(), d.step->id) == ids.end())
        ids.push_back(d.step->id);
  if (ids.empty()) return "      no observation was sent\n";
  std::string s;
  for (const std::string &id : ids) {
    size_t sent = 0;
    std::set<std::string> by;
    for (const Delivery &d : out.deliveries)
      if (d.step->id == id) {
        ++sent;
        by.insert(d.woken.begin(), d.woken.end());
      }
    size_t arrived = CountTrace(out, "IN", id);
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
    for (const std::string &l : out.log)
      if (l.find(id) != std::string::npos &&
          (l.find("Failed") != std::string::npos || l.find("Invalid") != std::string::npos)) {
        s += "        an argument read failed: " + l + "\n";
        *readFailed = *readFailed || Family(id) == Family(flareId);
      }
  }
  return s;
}

}  // namespace

std::string ExplainMissing(const Scenario &, const Outcome &out, const FlareExpectation &e) {
  std::string why = "    why:\n";
  size_t built = CountTrace(out, "OUT", e.id);
  size_t dropped = CountLog(out, RateDropped(e.id));
  if (dropped > 0)
    why += "      the global rate limit (1000 flares in 60 s) dropped it " +
           Plural(dropped, "time") + "\n";
  if (built > 0) {
    why += "      the daemon built it " + Plural(built, "time") + " (OUT trace lines)\n";
    if (CountLog(out, Queued(e.id)) > 0) {
      if (CountLog(out, Abandoned(e.id)) > 0)
        why += "      hubd refused it; the retry queue gave it up after its last retry\n";
      else if (CountLog(out, Resent(e.id)) > 0)
        why +=
            "      it could not be sent at once (hubd away, or held back for the retry pass); a "
            "retry delivered it later\n";
      else
        why +=
            "      it could not be sent at once (hubd away, or held back for the retry pass); it "
            "is still queued for retry "
            "(the queue is retried every 180 s)\n";
    }
    bool same = false;
    for (const Received &r : out.flares) same = same || r.line.value("id", "") == e.id;
    if (same) why += "      a flare of this id came, but its message, arguments or time differ\n";
    return why;
  }
  if (dropped > 0) return why;
  bool readFailed = false;
  why += "      the daemon never built it; the observations, its family first:\n";
  why += Observations(out, e.id, &readFailed);
  if (!readFailed)
    why +=
        "      no read failed: the correlator kept it back (a window, threshold, hold-back "
        "or quiet period) or the host model did not meet its condition\n";
  return why;
}

std::string ExplainUnwanted(const Scenario &, const Outcome &out, const Received &r) {
  bool readFailed = false;
  return "    why: the daemon built it; the observations, its family first:\n" +
         Observations(out, r.line.value("id", ""), &readFailed);
}

}  // namespace scenario
