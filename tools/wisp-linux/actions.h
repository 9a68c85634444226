// Follows the host's actions journal for the daemon's requests that would
// change the server: a NIC taken down, a memory page retired, a CPU taken
// offline. Only lines written after the start count; a journal that was
// replaced or cut short is read again from its start.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace wisplinux {

struct HostAction {
  enum class Kind { kNicDown, kPageRetire, kCpuOffline } kind = Kind::kNicDown;
  std::string nic;
  uint64_t page = 0, cpu = 0;
};

class ActionsFollower {
 public:
  explicit ActionsFollower(std::string path);
  ~ActionsFollower();
  ActionsFollower(const ActionsFollower &) = delete;
  ActionsFollower &operator=(const ActionsFollower &) = delete;

  // Readable when the journal was written to or made anew (not when another
  // file of its folder changes); -1 when it cannot be watched.
  int Fd() const { return inotify_; }
  // Reads what was added: the daemon's requests, in order.
  std::vector<HostAction> Read();
  uint64_t BadLines() const { return bad_; }
  const std::string &LastProblem() const { return problem_; }

 private:
  void Take(const std::string &line, std::vector<HostAction> *actions);
  void WatchFile();
  std::string path_;
  int inotify_ = -1;
  ino_t inode_ = 0;
  off_t offset_ = 0;
  std::string partial_;
  uint64_t bad_ = 0;
  std::string problem_;
};

}  // namespace wisplinux
