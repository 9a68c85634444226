// One scenario's private host: a temporary root, the syslog collector, hubd
// and the daemon from the runner's own bin directory, the daemon under
// libfaketime with a clock the runner steps.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "stepwait.h"

namespace scenario {

// SIGTERM and SIGINT make every wait give up, so that the runner stops its
// daemons and removes its roots on the way out.
void StopOnSignals();
bool Interrupted();

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
  // Waits until the daemon is done with everything so far, by its own
  // accounting: every batch sent is read and handed out, every agent waits
  // with nothing unread, hubd wrote every flare the daemon sent, and the
  // timer thread waits on the current clock. False after twenty seconds
  // of real time, when the daemon is gone, or when the runner is told to
  // stop.
  bool WaitIdle();
  // The agents (by the daemon's own names) that took an observation
  // between the last two waits.
  const std::vector<std::string> &Woken() const { return woken_; }
  // The earliest second the daemon's timer waits for (0: none known).
  int64_t TimerDue() const;

  // Sends a batch; false with *why.
  bool Send(int ctx, const std::string &batch, std::string *why);

 private:
  pid_t Spawn(const std::string &binary, const std::vector<std::string> &args,
              const std::vector<std::string> &env, const std::string &out);
  bool WaitForSocket(const std::string &abs);
  // Waits for a line of the collector's file, from offset on, holding text.
  bool WaitForLog(size_t offset, const char *text, std::chrono::seconds limit);
  size_t LogSize() const;
  // Complete lines hubd has written so far.
  size_t HubdLines();
  // One look at the daemon's counters: true when it is done.
  bool Done();

  std::string bin_, faketime_, root_;
  int64_t start_, clock_ = -1;
  bool keep_ = false;
  pid_t syslog_ = -1, hubd_ = -1, daemon_ = -1;
  std::string daemonExit_;
  StepWaitState *wait_ = nullptr;
  int dgram_ = -1, user_ = -1;
  // Since the daemon's start: batches sent, hubd's lines before it.
  uint64_t batchesSent_ = 0;
  size_t hubdBase_ = 0, hubdLines_ = 0, hubdOffset_ = 0;
  size_t logAtStart_ = 0;
  // Observations each agent had taken at the last wait, and now.
  std::map<std::string, uint64_t> took_, taking_;
  std::vector<std::string> woken_;
};

}  // namespace scenario
