// Reads one snapshot of the daemon's counters from its stats socket.
#pragma once

#include <string>

#include "pelldan/paths.h"

namespace wispstats {

using pelldan::kStatsSocket;

// Milliseconds on the steady clock.
long NowMs();

// One snapshot read without blocking, a step at a time, so that a server
// can wait for it in its own poll loop beside its clients.
class SnapshotRead {
 public:
  // Connects to path; the whole read must end within timeoutMs.
  SnapshotRead(const std::string &path, int timeoutMs);
  ~SnapshotRead();
  SnapshotRead(const SnapshotRead &) = delete;
  SnapshotRead &operator=(const SnapshotRead &) = delete;

  // The socket to wait on for POLLIN; -1 once the read is over.
  int Fd() const { return fd_; }
  // Milliseconds left before the read gives up.
  int Left() const;
  // Takes what has arrived; ends the read at end of file, on an error or
  // when its time is over.
  void Step();
  bool Done() const { return fd_ < 0; }
  // After Done(): whether a whole snapshot came, and what went wrong if not
  // ("cannot connect to PATH: REASON", ...).
  bool Ok() const { return ok_; }
  const std::string &Text() const { return text_; }
  const std::string &Why() const { return why_; }

 private:
  void End(bool ok);

  std::string path_;
  int timeoutMs_;
  long deadline_;
  int fd_ = -1;
  bool ok_ = false;
  std::string text_, why_;
};

// The blocking form: false with *why when no whole snapshot came in time.
bool ReadCounters(const std::string &path, int timeoutMs, std::string *text, std::string *why);

}  // namespace wispstats
