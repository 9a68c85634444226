// Reads hubd's journal line by line from a saved position, across log
// rotation (the file moved to FILE.1 and made anew) and truncation.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace wispalert {

// Where reading stands: the file (by device and inode), the offset just
// after the last whole line handed out, and a hash of the bytes just before
// that offset (the end of that line), by which a file truncated and written
// again past the offset is told from the one that was read.
struct JournalPosition {
  uint64_t dev = 0;
  uint64_t ino = 0;
  uint64_t offset = 0;
  uint64_t tailBytes = 0;  // 0: nothing to compare (the start, or an old state)
  uint64_t tailHash = 0;
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
  // Continues from the start of the oldest file that may hold lines before
  // pos: PATH.1 when pos is in PATH, otherwise the file pos names.
  void RestoreEarliest(const JournalPosition &pos);
  // Appends up to max whole lines that are there now (without their line
  // feeds); each line's position is the one after it. Over-long lines are
  // skipped, the offset each began at appended to *skipped.
  void Read(size_t max, std::vector<std::string> *lines, std::vector<JournalPosition> *after,
            std::vector<uint64_t> *skipped);
  JournalPosition Position() const { return pos_; }
  // How often the journal's path held something else than a regular file
  // (a symbolic link), which is not read.
  uint64_t Refused() const { return refused_; }

  // A line longer than this is not one hubd writes for a flare.
  static constexpr size_t kMaxLine = 8u << 20;
  // The most bytes before a position its hash covers.
  static constexpr size_t kTailBytes = 4096;

 private:
  // Opens path at.offset, or at its start when the file is shorter or the
  // bytes before that offset are not those at.tailHash names.
  bool OpenPath(const std::string &path, const JournalPosition &at);
  // At the end of the open file: follow a rotation once the new file has
  // data (hubd writes there only after it reopened, so the old file is done).
  bool FollowRotation();
  // Whether the open file still holds, before pos_, the bytes read there.
  bool TailHolds() const;
  // Reads the open file again from its start.
  void Rewind();
  // Notes (once per file met) that the path is not one to read.
  void Refuse(uint64_t dev, uint64_t ino, const std::string &why);
  void SetTail(const char *end, size_t bytes);

  std::string path_;
  std::function<void(const std::string &)> note_;
  int fd_ = -1;
  JournalPosition pos_;    // after the last whole line handed out
  std::string partial_;    // bytes read after pos_.offset, no line feed yet
  bool skipping_ = false;  // inside an over-long line
  uint64_t refused_ = 0;
  uint64_t refusedDev_ = 0, refusedIno_ = 0;  // the file last refused
};

}  // namespace wispalert
