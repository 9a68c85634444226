#include "simhost/context_lock.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include <map>

#include "pelldan/files.h"
#include "pelldan/root.h"
#include "simhost/report.h"
#include "simhost/sockets.h"

namespace simhost {
namespace {

struct Held {
  int fd;
  int refs;
};

// By lock path: a process (a test, say) may open contexts under several roots.
pthread_mutex_t gMutex = PTHREAD_MUTEX_INITIALIZER;
std::map<std::string, Held> gHeld;

long HolderPid(int fd) {
  char text[32] = "";
  ssize_t n = pread(fd, text, sizeof text - 1, 0);
  return n > 0 ? strtol(text, nullptr, 10) : 0;
}

int Take(const std::string &path) {
  std::string dir = path.substr(0, path.rfind('/'));
  if (!pelldan::MakePrivateDirs(dir)) {
    int err = errno != 0 ? errno : EIO;
    Report("Cannot create %s: %s\n", dir.c_str(), strerror(err));
    return err;
  }
  // A symlink here must not make us truncate and write someone else's file.
  int fd = pelldan::OpenRegular(path, O_RDWR | O_CREAT, 0644);
  if (fd < 0) {
    int err = -fd;
    Report("Cannot open %s: %s\n", path.c_str(), strerror(err));
    return err;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    int err = errno;
    if (err == EWOULDBLOCK) {
      Report("Kernel contexts are in use: %s is held by pid %ld\n", path.c_str(), HolderPid(fd));
      err = EBUSY;
    } else {
      Report("Cannot lock %s: %s\n", path.c_str(), strerror(err));
    }
    close(fd);
    return err;
  }
  char pid[32];
  int len = snprintf(pid, sizeof pid, "%ld\n", static_cast<long>(getpid()));
  if (ftruncate(fd, 0) != 0 || pwrite(fd, pid, static_cast<size_t>(len), 0) != len) {
    int err = errno != 0 ? errno : EIO;
    Report("Cannot write %s: %s\n", path.c_str(), strerror(err));
    close(fd);
    return err;
  }
  gHeld[path] = {fd, 1};
  return 0;
}

}  // namespace

int ContextLockAcquire(std::string *lockPath) {
  std::string path = pelldan::RootPath(kContextLock);
  *lockPath = path;
  pthread_mutex_lock(&gMutex);
  auto it = gHeld.find(path);
  int rc = 0;
  if (it != gHeld.end())
    ++it->second.refs;
  else
    rc = Take(path);
  pthread_mutex_unlock(&gMutex);
  return rc;
}

void ContextLockRelease(const std::string &lockPath) {
  pthread_mutex_lock(&gMutex);
  auto it = gHeld.find(lockPath);
  if (it != gHeld.end() && --it->second.refs == 0) {
    // The file stays: removing it would let a third process lock a new
    // file while a second still waits on the old one.
    close(it->second.fd);
    gHeld.erase(it);
  }
  pthread_mutex_unlock(&gMutex);
}

}  // namespace simhost
