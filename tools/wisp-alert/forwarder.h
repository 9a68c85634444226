// The forwarder's turn: read what hubd wrote since the saved position, turn
// it into alerts, send every Alertmanager what it does not have yet, and
// save where it stands. Time comes from a clock it is given, so tests step it.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "alert_table.h"
#include "journal.h"
#include "poster.h"

namespace wispalert {

struct ForwarderOptions {
  std::vector<std::string> urls;  // Alertmanagers, each gets every alert
  std::string journal;            // hubd's journal
  std::string state;              // the state file
  TableOptions table;
  uint64_t resendUs = 60'000'000;     // firing alerts again, within resolve_timeout
  uint64_t backoffMinUs = 1'000'000;  // after a failed post ...
  // ... doubling up to this: an Alertmanager back after an outage has every
  // alert within 10 s, at the cost of one refused connection each 10 s meanwhile.
  uint64_t backoffMaxUs = 10'000'000;
  uint64_t saveEveryUs = 1'000'000;  // the state at most this often
  size_t batch = 1000;               // alerts per post
  size_t batchBytes = 4u << 20;      // and bytes per post
  size_t linesPerTurn = 5000;
};

class Forwarder {
 public:
  using Clock = std::function<uint64_t()>;  // wall-clock microseconds
  using Log = std::function<void(const std::string &)>;

  Forwarder(ForwarderOptions options, Poster *poster, Clock clock, Log log);

  // Loads the state file (a missing one starts from the journal's start; one
  // that does not decode is set aside as FILE.bad and the journal read anew).
  void Start();
  // One turn; true when more work is waiting now (lines unread, or alerts
  // due at an Alertmanager that may be tried).
  bool Turn();
  // Writes the state file now (at a stop) unless it is current; false with
  // *why when it could not.
  bool Save(std::string *why);
  // Microseconds until the turn after next has timed work (a resend, a retry,
  // a save): how long the caller may wait for the journal.
  uint64_t IdleUs() const;
  // The counters in the Prometheus text format.
  std::string Metrics() const;

 private:
  struct Manager {
    uint64_t forwarded = 0, rejected = 0, retried = 0, failedPosts = 0;
    uint64_t backoffUs = 0, nextTryUs = 0;
    uint64_t failing = 0;  // posts failed in a row
  };
  void ReadJournal(uint64_t nowUs, bool *more);
  void Send(uint64_t nowUs, bool *more, std::unique_lock<std::mutex> *hold);
  void Settle(size_t m, const std::vector<Labels> &keys, const Answer &answer, uint64_t sentUs);
  void Failed(size_t m, size_t alerts, const Answer &answer, uint64_t nowUs);
  // Logs a failure itself (once in a row) unless *failure takes it.
  bool SaveLocked(uint64_t nowUs, std::string *failure);
  void Unknown(const std::string &id, uint64_t offset);
  std::string Describe(const Labels &key) const;

  ForwarderOptions options_;
  Poster *poster_;
  Clock clock_;
  Log log_;
  Journal journal_;
  AlertTable table_;
  std::vector<Manager> managers_;
  mutable std::mutex lock_;  // the table and counters, against Metrics()
  JournalPosition saved_;
  bool dirty_ = false;
  uint64_t nextSaveUs_ = 0, nextResendUs_ = 0, nextExpireUs_ = 0;
  uint64_t lines_ = 0, flares_ = 0, hubdErrors_ = 0, undecodable_ = 0, tooLong_ = 0;
  uint64_t raised_ = 0, ended_ = 0, dropped_ = 0, saveFailures_ = 0;
  uint64_t unknown_ = 0, damaged_ = 0;
  std::set<std::string> unknownIds_;  // logged already
};

// A journal line as a log may show it: printable, cut short.
std::string Printable(std::string_view bytes, size_t max = 200);

}  // namespace wispalert
