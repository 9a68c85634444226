// Reads hubd's journal line by line from a saved position, across log
// rotation (the file moved to FILE.1 and made anew) and truncation.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace wispalert {

// Where reading stands: the file (by device and inode) and the offset just
// after the last whole line handed out.
struct JournalPosition {
  uint64_t dev = 0;
  uint64_t ino = 0;
  uint64_t offset = 0;
};

class Journal {
 public:
  // note receives one line for each event an operator should know of
  // (rotation followed, position lost, an over-long line skipped).
  Journal(std::string path, std::function<void(const std::string &)> note);
  ~Journal();
  Journal(const Journal &) = delete;
  Journal &operator=(const Journal &) = delete;

  // Continues from pos: in the file it names, which may since have been
  // moved to PATH.1, or from the start of PATH when that file is gone.
  void Restore(const JournalPosition &pos);
  // Appends up to max whole lines that are there now (without their line
  // feeds); each line's position is the one after it. Over-long lines are
  // skipped and counted in *skipped.
  void Read(size_t max, std::vector<std::string> *lines, std::vector<JournalPosition> *after,
            uint64_t *skipped);
  JournalPosition Position() const { return pos_; }

  // A line longer than this is not one hubd writes for a flare.
  static constexpr size_t kMaxLine = 8u << 20;

 private:
  bool OpenPath(const std::string &path, uint64_t offset);
  // At the end of the open file: follow a rotation once the new file has
  // data (hubd writes there only after it reopened, so the old file is done).
  bool FollowRotation();

  std::string path_;
  std::function<void(const std::string &)> note_;
  int fd_ = -1;
  JournalPosition pos_;    // after the last whole line handed out
  std::string partial_;    // bytes read after pos_.offset, no line feed yet
  bool skipping_ = false;  // inside an over-long line
};

}  // namespace wispalert
