#include "atomic_file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <cstdio>

namespace wisplinux {

bool AtomicFile::Write(const std::string &text, std::string *why) {
  if (text == last_) return true;
  std::string temp = path_ + ".new";
  int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    *why = "cannot write " + temp + ": " + strerror(errno);
    return false;
  }
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  int saved = errno;
  if (close(fd) != 0 && done == text.size()) saved = errno, done = 0;
  if (done != text.size()) {
    unlink(temp.c_str());
    *why = "cannot write " + temp + ": " + strerror(saved);
    return false;
  }
  if (rename(temp.c_str(), path_.c_str()) != 0) {
    *why = "cannot replace " + path_ + ": " + strerror(errno);
    unlink(temp.c_str());
    return false;
  }
  last_ = text;
  ++writes_;
  return true;
}

}  // namespace wisplinux
