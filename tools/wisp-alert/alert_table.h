// The alerts this host's flares stand for: raised by problems, ended by the
// flares of the clear table or by their time running out, and due for
// sending to each Alertmanager until it has taken their latest state.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "flare_line.h"
#include "labels.h"

namespace wispalert {

struct TableOptions {
  std::string host;           // the host label
  uint64_t problemTtlUs = 0;  // how long a problem no clear ends stays firing
  bool audits = false;        // audits become alerts
  uint64_t auditHoldUs = 0;   // how long such an alert fires
  size_t maxAlerts = 100000;  // beyond it the oldest alert is forgotten
};

// What an alert holds beside its labels (the key it is held by).
struct Alert {
  std::string summary;
  std::string args;  // the raising flare's (PackArgValues), for matching clears
  uint64_t startsUs = 0;
  uint64_t endsUs = 0;   // 0: fires until a flare ends it
  uint64_t flareUs = 0;  // time of the last flare that changed it
  struct At {
    uint64_t dueSinceUs = 0;  // 0: it has the latest state
    bool rejected = false;    // answered 400, never sent again
  };
  std::vector<At> at;  // per Alertmanager
};

// What one flare did to the table.
struct Applied {
  int raised = 0;   // new alerts, or ended ones firing again
  int updated = 0;  // firing alerts raised again
  int ended = 0;    // alerts a clear ended
  int dropped = 0;  // alerts forgotten to stay within maxAlerts
  bool ignored = false;
};

class AlertTable {
 public:
  AlertTable(TableOptions options, size_t managers);

  // nowUs (the wall clock) starts the alert's wait for sending.
  Applied Apply(const Flare &flare, uint64_t nowUs);
  // Marks every alert that still fires due again at every Alertmanager.
  void MarkFiringDue(uint64_t nowUs);
  // Forgets alerts that have ended and that every Alertmanager has.
  size_t Expire(uint64_t nowUs);

  // The labels of up to max alerts due at Alertmanager m, longest waiting first.
  std::vector<Labels> Due(size_t m, size_t max) const;
  // The v2 API's body for those alerts.
  std::string Body(const std::vector<Labels> &keys) const;
  // After Alertmanager m took the alerts (sent at sentUs) or refused them.
  void Delivered(size_t m, const std::vector<Labels> &keys, uint64_t sentUs);
  void Rejected(size_t m, const Labels &key);

  size_t Pending(size_t m) const { return due_[m].size(); }
  uint64_t OldestDueUs(size_t m) const { return due_[m].empty() ? 0 : due_[m].begin()->first; }
  size_t Size() const { return alerts_.size(); }
  size_t Firing(uint64_t nowUs) const;
  const std::map<Labels, Alert> &Alerts() const { return alerts_; }
  // NULL when no alert has these labels.
  const Alert *Find(const Labels &key) const;

  // The alerts for the state file, one JSON line each, with each
  // Alertmanager's flags by its URL: handed to put about `bytes` at a time
  // (put empties the text); false when put returned false.
  bool StateLines(const std::vector<std::string> &urls, size_t bytes,
                  const std::function<bool(std::string *)> &put) const;
  // Adds an alert from a state line. Flags of URLs no longer given are
  // dropped; an Alertmanager not in known (the URLs the state was saved
  // with) has the alert due from nowUs. False with *why for a line that is
  // not an alert.
  bool LoadLine(std::string_view line, const std::vector<std::string> &known,
                const std::vector<std::string> &urls, uint64_t nowUs, std::string *why);

  // RFC 3339 in UTC with microseconds, as Alertmanager takes it.
  static std::string Rfc3339(uint64_t us);

 private:
  using Held = std::map<Labels, Alert>::value_type;
  void Raise(const Flare &flare, const std::string &kind, uint64_t endsUs, Applied *applied,
             uint64_t nowUs);
  // Due from nowUs at every Alertmanager (a change to send), refusals forgotten.
  void MarkDue(Held &held, uint64_t nowUs);
  void SetDue(Held &held, size_t m, uint64_t sinceUs);
  void Erase(std::map<Labels, Alert>::iterator e);
  void DropOldest(Applied *applied);
  // Adds the alert to (or takes it from) the index of those a clear may end.
  void Index(Held &held, bool add);
  // The alerts a row of the clear table may end, by the flare's arguments.
  std::vector<Held *> Candidates(const std::string &ended, const std::vector<ArgValue> &args,
                                 unsigned enderArg, unsigned endedArg, bool byArg);

  TableOptions options_;
  size_t managers_;
  LabelPool labels_;
  std::map<Labels, Alert> alerts_;
  // Per Alertmanager, the alerts due there by how long they have waited.
  std::vector<std::set<std::pair<uint64_t, const Held *>>> due_;
  // The alerts a clear may end, by a hash of their name (for the rows that
  // end every such problem) or of their name and the argument a row matches
  // first: one small node each, also where many alerts share the argument.
  std::set<std::pair<uint64_t, Held *>> endable_;
};

}  // namespace wispalert
