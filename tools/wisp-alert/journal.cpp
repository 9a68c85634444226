#include "journal.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace wispalert {

Journal::Journal(std::string path, std::function<void(const std::string &)> note)
    : path_(std::move(path)), note_(std::move(note)) {}

Journal::~Journal() {
  if (fd_ >= 0) close(fd_);
}

bool Journal::OpenPath(const std::string &path, uint64_t offset) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return false;
  }
  if (offset > static_cast<uint64_t>(st.st_size)) {
    note_("journal " + path + " is shorter than the saved position; reading it from its start");
    offset = 0;
  }
  if (lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
    close(fd);
    return false;
  }
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
  pos_ = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), offset};
  partial_.clear();
  skipping_ = false;
  return true;
}

void Journal::Restore(const JournalPosition &saved) {
  struct stat st;
  for (const std::string &path : {path_, path_ + ".1"}) {
    if (stat(path.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_dev) == saved.dev &&
        static_cast<uint64_t>(st.st_ino) == saved.ino) {
      if (path != path_) note_("journal was rotated; reading the rest of " + path + " first");
      if (OpenPath(path, saved.offset)) return;
    }
  }
  if (saved.ino != 0)
    note_("journal position lost (the file is gone); reading " + path_ + " from its start");
  OpenPath(path_, 0);
}

bool Journal::FollowRotation() {
  struct stat st;
  if (stat(path_.c_str(), &st) != 0) return false;
  if (static_cast<uint64_t>(st.st_dev) == pos_.dev && static_cast<uint64_t>(st.st_ino) == pos_.ino)
    return false;
  if (fd_ >= 0 && st.st_size == 0) return false;
  if (fd_ >= 0) {
    if (!partial_.empty()) note_("journal rotated after an unfinished line; that line is dropped");
    note_("journal rotated; reading the new " + path_);
  }
  return OpenPath(path_, 0);
}

void Journal::Read(size_t max, std::vector<std::string> *lines, std::vector<JournalPosition> *after,
                   uint64_t *skipped) {
  if (fd_ < 0 && !FollowRotation()) return;
  size_t taken = 0;
  char buf[65536];
  while (taken < max) {
    // Whole lines already buffered come first.
    size_t nl = partial_.find('\n');
    if (nl != std::string::npos) {
      pos_.offset += nl + 1;
      if (skipping_) {
        skipping_ = false;
      } else {
        lines->push_back(partial_.substr(0, nl));
        after->push_back(pos_);
        ++taken;
      }
      partial_.erase(0, nl + 1);
      continue;
    }
    if (partial_.size() > kMaxLine) {
      if (!skipping_) ++*skipped;
      skipping_ = true;
      pos_.offset += partial_.size();
      partial_.clear();
    }
    ssize_t n = read(fd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n > 0) {
      partial_.append(buf, static_cast<size_t>(n));
      continue;
    }
    // At the end: a rotation, a truncation, or simply nothing new yet.
    struct stat st, named;
    if (fstat(fd_, &st) == 0 && static_cast<uint64_t>(st.st_size) < pos_.offset + partial_.size() &&
        stat(path_.c_str(), &named) == 0 && named.st_ino == st.st_ino &&
        named.st_dev == st.st_dev) {
      note_("journal " + path_ + " was truncated; reading it from its start");
      OpenPath(path_, 0);
      continue;
    }
    if (!FollowRotation()) return;
  }
}

}  // namespace wispalert
