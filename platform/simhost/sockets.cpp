#include "simhost/sockets.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "pelldan/files.h"

namespace simhost {

bool MakeUnixAddress(const std::string &path, struct sockaddr_un *addr) {
  memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path.size() >= sizeof addr->sun_path) return false;
  memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  return true;
}

bool MakeDirs(const std::string &path) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    std::string part = path.substr(0, pos);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) errno = ENOTDIR;
  return S_ISDIR(st.st_mode);
}

int ClearStale(int type, const std::string &path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return errno == ENOENT ? 0 : -errno;
  if (!S_ISSOCK(st.st_mode)) return -EEXIST;
  int probe = socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (probe < 0) return -errno;
  struct sockaddr_un addr;
  MakeUnixAddress(path, &addr);
  int rc = connect(probe, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) == 0 ? 0 : errno;
  close(probe);
  // Only a refused connection proves nobody serves the path any more; a
  // full backlog, a wrong socket type or missing permission all mean
  // someone is there.
  if (rc == ECONNREFUSED) return unlink(path.c_str()) == 0 || errno == ENOENT ? 0 : -errno;
  if (rc == ENOENT) return 0;
  return -EADDRINUSE;
}

int BindUnix(int type, const std::string &path, int backlog) {
  struct sockaddr_un addr;
  if (!MakeUnixAddress(path, &addr)) return -ENAMETOOLONG;
  int stale = ClearStale(type, path);
  if (stale != 0) return stale;
  int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -errno;
  if (pelldan::BindInPlace(fd, path, type != SOCK_DGRAM ? backlog : -1) != 0) {
    int err = errno;
    close(fd);
    return -err;
  }
  return fd;
}

int ConnectUnix(int type, const std::string &path) {
  struct sockaddr_un addr;
  if (!MakeUnixAddress(path, &addr)) return -ENAMETOOLONG;
  int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -errno;
  if (connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
    int err = errno;
    close(fd);
    return -err;
  }
  return fd;
}

}  // namespace simhost
