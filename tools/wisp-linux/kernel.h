// Where the source's events come from: the running kernel, or a capture of
// one replayed. The main loop waits on Fds() and reads what is ready.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "clockwatch.h"
#include "event.h"
#include "observations.h"

namespace wisplinux {

struct FamilyStatus {
  bool watched = false;
  std::string how;  // what is watched, or why not
};

class Kernel {
 public:
  virtual ~Kernel() = default;
  // What is known at start, before anything is ready (the sync state).
  virtual void Initial(std::vector<Event> *out) = 0;
  virtual std::vector<int> Fds() const = 0;
  // Reads what fd holds and appends the events it made.
  virtual void Read(int fd, std::vector<Event> *out) = 0;
  virtual FamilyStatus Status(Family family) const = 0;
  virtual std::string SystemUuid() const = 0;
  // A replay that has given all its events.
  virtual bool Finished() const = 0;
  // Asks for every link's state again (after the kernel dropped messages).
  virtual void Resync() = 0;
  // Takes the link of that index down; 0 or an errno.
  virtual int TakeDown(int32_t index) = 0;
  // Takes the memory page at that physical address out of use; 0 or an errno.
  virtual int OfflinePage(uint64_t address) = 0;
  // Kernel log records the kernel overwrote before they were read.
  virtual uint64_t KmsgLost() const { return 0; }
  // Lines of a replayed capture that did not decode, with the first's reason.
  virtual size_t BadLines(std::string *first) const = 0;
};

std::unique_ptr<Kernel> OpenLiveKernel(const ClockConfig &clock);
// Replays a capture, each event at its recorded time (originalTiming) or
// all at once; null with *why when the file cannot be read.
std::unique_ptr<Kernel> OpenReplay(const std::string &path, bool originalTiming, std::string *why);

// Microseconds on the monotonic clock.
uint64_t MonotonicUs();

}  // namespace wisplinux
