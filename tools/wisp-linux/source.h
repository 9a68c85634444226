// The Linux source's loop: kernel events in, observations out to the
// daemon's contexts, the host model kept to what the system has, and the
// daemon's take-down requests recorded or carried out.
#pragma once

#include <signal.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "actions.h"
#include "atomic_file.h"
#include "clockwatch.h"
#include "config.h"
#include "kernel.h"
#include "links.h"
#include "outbox.h"
#include "storage.h"

namespace wisplinux {

struct SourceOptions {
  Config config;
  std::string capturePath;    // empty: no capture
  bool takeDown = false;      // carry out the daemon's take-downs
  bool offlinePages = false;  // carry out the daemon's page retirements
  bool replay = false;        // end once a replay's events are all sent
  std::string modelPath, actionsPath, statsPath;
};

class Source {
 public:
  using Log = std::function<void(const std::string &)>;
  Source(SourceOptions options, std::unique_ptr<Kernel> kernel, Log log);
  // Serves until *stop is set (or a replay is done); *hangup reopens the
  // capture. The exit status.
  int Run(volatile sig_atomic_t *stop, volatile sig_atomic_t *hangup);

 private:
  void Announce();
  void Process(const Event &event);
  void Links(const Event &event);
  void Storage(const Event &event, std::vector<Observation> *obs);
  void Hardware(const Event &event, std::vector<Observation> *obs);
  void Overrun();
  // Writes the host model when what it holds changed (or was never written).
  void UpdateModel();
  void HostActions();
  void Request(const HostAction &action);
  void Capture(const Event &event);
  void OpenCapture();
  void WriteStats();
  std::string StatsText() const;

  SourceOptions options_;
  std::unique_ptr<Kernel> kernel_;
  Log log_;
  LinkTable links_;
  ClockWatch clock_;
  StorageTable storage_;
  Outbox outbox_;
  ActionsFollower actions_;
  AtomicFile model_, stats_;
  std::string uuid_;
  // What the model last written was made from.
  Inventory modelLinks_;
  uint64_t modelStorage_ = 0;
  bool modelWritten_ = false;
  int capture_ = -1;
  bool captureFailed_ = false;
  std::string lastSendProblem_;
  uint64_t read_[kFamilies] = {};
  uint64_t badNetlink_ = 0, overruns_ = 0, badUevents_ = 0, badKmsg_ = 0, badTrace_ = 0;
  uint64_t kmsgMatched_ = 0, kmsgOther_ = 0, pathEvents_ = 0, traceOther_ = 0;
  uint64_t statsFailures_ = 0;
  // The daemon's requests by kind (nic, page, cpu) and outcome (recorded,
  // done, failed).
  uint64_t requests_[3][3] = {};
};

}  // namespace wisplinux
