#include "pelldan/files.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pelldan {

namespace {
// The umask is the process's: two binds must not restore each other's.
pthread_mutex_t gUmaskLock = PTHREAD_MUTEX_INITIALIZER;
}  // namespace

int BindOwnerOnly(int fd, const struct sockaddr_un &addr) {
  pthread_mutex_lock(&gUmaskLock);
  mode_t old = umask(077);
  int rc = bind(fd, reinterpret_cast<const struct sockaddr *>(&addr), sizeof addr);
  int err = errno;
  umask(old);
  pthread_mutex_unlock(&gUmaskLock);
  errno = err;
  return rc;
}

int BindInPlace(int fd, const std::string &path, int backlog) {
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  std::string temporary = path + "." + std::to_string(getpid()) + ".new";
  // A path too long for a temporary name beside it is bound in place.
  bool rename = temporary.size() < sizeof addr.sun_path;
  const std::string &bound = rename ? temporary : path;
  if (bound.size() >= sizeof addr.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  memcpy(addr.sun_path, bound.c_str(), bound.size() + 1);
  unlink(bound.c_str());
  if (BindOwnerOnly(fd, addr) != 0) return -1;
  if (chmod(bound.c_str(), 0600) != 0 || (backlog >= 0 && listen(fd, backlog) != 0) ||
      (rename && ::rename(bound.c_str(), path.c_str()) != 0)) {
    int err = errno;
    unlink(bound.c_str());
    errno = err;
    return -1;
  }
  return 0;
}

int OpenRegular(const std::string &path, int flags, mode_t mode) {
  int fd = open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
  if (fd < 0) return -errno;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return -EINVAL;
  }
  // Back to blocking: O_NONBLOCK was only there so a FIFO cannot hold the open.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

bool MakePrivateDirs(const std::string &path) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    if (mkdir(path.substr(0, pos).c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) errno = ENOTDIR;
  return S_ISDIR(st.st_mode);
}

}  // namespace pelldan
