#include "journal.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace wispalert {

namespace {

// FNV-1a: enough to tell one line's bytes from another's.
uint64_t Hash(const char *bytes, size_t size) {
  uint64_t h = 14695981039346656037ull;
  for (size_t i = 0; i < size; ++i) {
    h ^= static_cast<unsigned char>(bytes[i]);
    h *= 1099511628211ull;
  }
  return h;
}

bool SameFile(const struct stat &st, uint64_t dev, uint64_t ino) {
  return static_cast<uint64_t>(st.st_dev) == dev && static_cast<uint64_t>(st.st_ino) == ino;
}

// Whether fd holds, just before at.offset, the bytes at.tailHash names.
bool TailAt(int fd, const JournalPosition &at) {
  if (at.tailBytes == 0) return true;
  if (at.tailBytes > at.offset || at.tailBytes > Journal::kTailBytes) return false;
  char buf[Journal::kTailBytes];
  size_t want = static_cast<size_t>(at.tailBytes);
  ssize_t n;
  do {
    n = pread(fd, buf, want, static_cast<off_t>(at.offset - at.tailBytes));
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(want) && Hash(buf, want) == at.tailHash;
}

}  // namespace

Journal::Journal(std::string path, std::function<void(const std::string &)> note)
    : path_(std::move(path)), note_(std::move(note)) {}

Journal::~Journal() {
  if (fd_ >= 0) close(fd_);
}

void Journal::Refuse(uint64_t dev, uint64_t ino, const std::string &why) {
  // Once per file met: the loop looks again at every wake-up.
  if (dev == refusedDev_ && ino == refusedIno_) return;
  refusedDev_ = dev;
  refusedIno_ = ino;
  ++refused_;
  note_(why);
}

bool Journal::OpenPath(const std::string &path, const JournalPosition &at) {
  // hubd writes a regular file: a link there is not followed.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    struct stat st;
    if (lstat(path.c_str(), &st) == 0)
      Refuse(st.st_dev, st.st_ino,
             S_ISLNK(st.st_mode)
                 ? "journal " + path + " is a symbolic link, which is not followed; reading " +
                       "it again once a regular file takes its place"
                 : "cannot open journal " + path + ": " + strerror(errno));
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    close(fd);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    Refuse(st.st_dev, st.st_ino, "journal " + path + " is not a regular file; not read");
    close(fd);
    return false;
  }
  uint64_t offset = at.offset;
  if (offset > static_cast<uint64_t>(st.st_size)) {
    note_("journal " + path + " is shorter than the saved position; reading it from its start");
    offset = 0;
  } else if (!TailAt(fd, at)) {
    note_("journal " + path +
          " was truncated and written again since the saved position; reading it from its start");
    offset = 0;
  }
  if (lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
    close(fd);
    return false;
  }
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
  pos_ = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), offset, 0, 0};
  if (offset != 0) {
    pos_.tailBytes = at.tailBytes;
    pos_.tailHash = at.tailHash;
  }
  partial_.clear();
  skipping_ = false;
  refusedDev_ = refusedIno_ = 0;
  return true;
}

void Journal::Restore(const JournalPosition &saved) {
  struct stat st;
  for (const std::string &path : {path_, path_ + ".1"}) {
    if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
        SameFile(st, saved.dev, saved.ino)) {
      if (path != path_) note_("journal was rotated; reading the rest of " + path + " first");
      if (OpenPath(path, saved)) return;
    }
  }
  if (saved.ino != 0)
    note_("journal position lost (the file is gone); reading " + path_ + " from its start");
  OpenPath(path_, JournalPosition());
}

void Journal::RestoreEarliest(const JournalPosition &pos) {
  struct stat named, rotated;
  JournalPosition from = pos;
  from.offset = from.tailBytes = from.tailHash = 0;
  if (lstat(path_.c_str(), &named) == 0 && SameFile(named, pos.dev, pos.ino) &&
      lstat((path_ + ".1").c_str(), &rotated) == 0 && S_ISREG(rotated.st_mode)) {
    from.dev = static_cast<uint64_t>(rotated.st_dev);
    from.ino = static_cast<uint64_t>(rotated.st_ino);
  }
  Restore(from);
}

bool Journal::FollowRotation() {
  struct stat st;
  if (lstat(path_.c_str(), &st) != 0) return false;
  if (SameFile(st, pos_.dev, pos_.ino)) return false;
  if (!S_ISREG(st.st_mode)) return OpenPath(path_, JournalPosition());  // refused there, once
  if (fd_ >= 0 && st.st_size == 0) return false;
  bool following = fd_ >= 0;
  bool unfinished = !partial_.empty();
  if (!OpenPath(path_, JournalPosition())) return false;
  if (following) {
    if (unfinished) note_("journal rotated after an unfinished line; that line is dropped");
    note_("journal rotated; reading the new " + path_);
  }
  return true;
}

bool Journal::TailHolds() const {
  return TailAt(fd_, pos_);
}

void Journal::Rewind() {
  struct stat st;
  bool refilled = fstat(fd_, &st) == 0 && static_cast<uint64_t>(st.st_size) >= pos_.offset;
  note_("journal " + path_ +
        (refilled ? " was truncated and written again past the read position" : " was truncated") +
        "; reading it from its start");
  lseek(fd_, 0, SEEK_SET);
  pos_.offset = pos_.tailBytes = pos_.tailHash = 0;
  partial_.clear();
  skipping_ = false;
}

void Journal::SetTail(const char *end, size_t bytes) {
  pos_.tailBytes = std::min(bytes, kTailBytes);
  pos_.tailHash = Hash(end - pos_.tailBytes, static_cast<size_t>(pos_.tailBytes));
}

void Journal::Read(size_t max, std::vector<std::string> *lines, std::vector<JournalPosition> *after,
                   std::vector<uint64_t> *skipped) {
  if (fd_ < 0 && !FollowRotation()) return;
  // Truncated and written again up to or past where reading stands, the file
  // is no longer the one read: its size alone cannot tell.
  if (!TailHolds()) Rewind();
  size_t taken = 0;
  size_t searched = 0;  // bytes of partial_ known to hold no line feed
  char buf[65536];
  while (taken < max) {
    // Whole lines already buffered come first.
    size_t nl = partial_.find('\n', searched);
    if (nl != std::string::npos) {
      // Over the limit though its end came in the same read.
      if (!skipping_ && nl > kMaxLine) {
        skipped->push_back(pos_.offset);
        skipping_ = true;
      }
      pos_.offset += nl + 1;
      SetTail(partial_.data() + nl + 1, nl + 1);
      if (skipping_) {
        skipping_ = false;
      } else {
        lines->push_back(partial_.substr(0, nl));
        after->push_back(pos_);
        ++taken;
      }
      partial_.erase(0, nl + 1);
      searched = 0;
      continue;
    }
    searched = partial_.size();
    if (partial_.size() > kMaxLine) {
      if (!skipping_) skipped->push_back(pos_.offset);
      skipping_ = true;
      pos_.offset += partial_.size();
      SetTail(partial_.data() + partial_.size(), partial_.size());
      partial_.clear();
      searched = 0;
    }
    ssize_t n = read(fd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n > 0) {
      // Bytes read after a truncation belong to the new file's lines.
      if (!TailHolds()) {
        Rewind();
        searched = 0;
        continue;
      }
      partial_.append(buf, static_cast<size_t>(n));
      continue;
    }
    // At the end: a rotation, a truncation, or simply nothing new yet.
    struct stat st, named;
    if (fstat(fd_, &st) == 0 && static_cast<uint64_t>(st.st_size) < pos_.offset + partial_.size() &&
        lstat(path_.c_str(), &named) == 0 && named.st_ino == st.st_ino &&
        named.st_dev == st.st_dev) {
      note_("journal " + path_ + " was truncated; reading it from its start");
      OpenPath(path_, JournalPosition());
      searched = 0;
      continue;
    }
    if (!FollowRotation()) return;
  }
}

}  // namespace wispalert
