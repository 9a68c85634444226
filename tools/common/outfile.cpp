#include "outfile.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

namespace tools {

bool OutFile::Open(const std::string &path, std::string *why) {
  path_ = path;
  return Reopen(why);
}

bool OutFile::Reopen(std::string *why) {
  if (path_.empty()) return true;
  int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    *why = "cannot open " + path_ + ": " + strerror(errno);
    return false;
  }
  if (fd_ != 1) close(fd_);
  fd_ = fd;
  return true;
}

bool OutFile::Write(const std::string &text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd_, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

OutFile::~OutFile() {
  if (fd_ != 1) close(fd_);
}

}  // namespace tools
