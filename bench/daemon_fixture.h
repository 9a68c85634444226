// A daemon with hubd under a private root, for the benchmarks.
#pragma once

#include <memory>
#include <string>

#include "drain.h"
#include "sandbox.h"

namespace bench {

// Who collects the daemon's log records once it has started.
enum class Collector {
  kNone,     // dropped at once, as on a host without syslog
  kDrain,    // a thread that reads and counts every record
  kRsyslog,  // Debian's rsyslog, writing them to a file in the root
};

// Debian's rsyslog under root: the root's /dev/log in, a file of the root
// out; stopped with the object.
class Rsyslog {
 public:
  explicit Rsyslog(const testing_support::Root &root);
  // Lines in its file so far.
  long Lines() const;
  // rsyslogd's CPU time so far, and how often its threads went to sleep.
  double CpuSeconds() const;
  double Sleeps() const;
  // Records its socket holds before a sender waits (collector_queue.h).
  int Queue() const { return queue_; }

 private:
  std::string out_;
  int queue_ = 0;
  std::unique_ptr<testing_support::Process> process_;
};

struct Daemon {
  explicit Daemon(bool withHubd = true, Collector collector = Collector::kNone);
  ~Daemon();
  testing_support::Root root;
  std::unique_ptr<testing_support::Process> hubd;
  std::unique_ptr<testing_support::Process> wispd;
  std::unique_ptr<LogDrain> log;  // kDrain
  std::unique_ptr<Rsyslog> rsyslog;
  // Records the collector took: counted (kDrain) or lines in its file.
  long Collected() const;
  // CPU time the collector used so far, and how often it went to sleep
  // (0 without one).
  double CollectorCpuSeconds() const;
  double CollectorSleeps() const;
  int CollectorQueue() const;
};

}  // namespace bench
