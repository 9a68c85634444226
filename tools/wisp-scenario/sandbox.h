// One scenario's private host: a temporary root, the syslog collector, hubd
// and the daemon from the runner's own bin directory, the daemon under
// libfaketime with a clock the runner steps.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "stepwait.h"

namespace scenario {

// One thread's state letter, how often it has run, and its process.
struct Mark {
  char state;
  std::string switches;
  pid_t pid;
};

class Sandbox {
 public:
  Sandbox(const std::string &binDir, const std::string &faketimeLib, int64_t start);
  ~Sandbox();  // stops what it started; removes the root unless kept
  void Keep() { keep_ = true; }
  const std::string &Root() const { return root_; }
  std::string Under(const std::string &abs) const { return root_ + abs; }
  void WriteFile(const std::string &abs, const std::string &text) const;

  // Each returns false with *why when the process does not come up.
  bool StartSyslog(std::string *why);
  bool StartHubd(std::string *why);
  void StopHubd();
  bool StartDaemon(std::string *why);
  bool StopDaemon(std::string *why);  // SIGTERM, then waits for the exit
  bool DaemonAlive();
  std::string DaemonExit() const { return daemonExit_; }

  // Sets the daemon's clock to start + seconds.
  void SetClock(int64_t seconds);
  int64_t Clock() const { return clock_; }
  // Waits until every thread of the daemon, hubd and the collector sleeps
  // and the timer thread has looked at the current clock. False after
  // about ten seconds of real time, or when the daemon is gone.
  bool WaitIdle();
  // The correlator threads that ran between the last two waits.
  const std::vector<std::string> &Woken() const { return woken_; }
  // The earliest second the daemon's timer waits for (0: none known).
  int64_t TimerDue() const;

  // Sends a batch; false with *why.
  bool Send(int ctx, const std::string &batch, std::string *why);

 private:
  pid_t Spawn(const std::string &binary, const std::vector<std::string> &args,
              const std::vector<std::string> &env, const std::string &out);
  bool WaitForSocket(const std::string &abs);
  void NoteWoken(const std::map<long, struct Mark> &marks);

  std::string bin_, faketime_, root_;
  int64_t start_, clock_ = -1;
  bool keep_ = false;
  pid_t syslog_ = -1, hubd_ = -1, daemon_ = -1;
  std::string daemonExit_;
  StepWaitState *wait_ = nullptr;
  int dgram_ = -1, user_ = -1;
  std::map<long, struct Mark> settled_;
  std::vector<std::string> woken_;
};

}  // namespace scenario
