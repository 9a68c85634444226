// Observation sources: kernel contexts are datagram sockets, the user-level
// context a seqpacket socket whose connections are producers.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <new>
#include <string>

#include "pelldan/files.h"
#include "pelldan/paths.h"
#include "pelldan/root.h"
#include "pellibs/wisp.h"
#include "simhost/context_lock.h"
#include "simhost/report.h"
#include "simhost/sockets.h"

struct WispLibHandle {
  int context;
  int fd;
  std::string path;
  std::string lockPath;
};

namespace {

int Open(int context, int type, const std::string &path, WispLibHandle **handle) {
  *handle = nullptr;
  std::string lockPath;
  int rc = simhost::ContextLockAcquire(&lockPath);
  if (rc != 0) return rc;
  std::string dir = path.substr(0, path.rfind('/'));
  if (!pelldan::MakePrivateDirs(dir)) {
    rc = errno != 0 ? errno : EIO;
    simhost::Report("Cannot create %s: %s\n", dir.c_str(), strerror(rc));
    simhost::ContextLockRelease(lockPath);
    return rc;
  }
  int fd = simhost::BindUnix(type, path, 16);
  if (fd < 0) {
    simhost::Report("Cannot bind %s: %s\n", path.c_str(), strerror(-fd));
    simhost::ContextLockRelease(lockPath);
    return -fd;
  }
  WispLibHandle *h = new (std::nothrow) WispLibHandle{context, fd, path, lockPath};
  if (h == nullptr) {
    close(fd);
    unlink(path.c_str());
    simhost::ContextLockRelease(lockPath);
    return ENOMEM;
  }
  *handle = h;
  return 0;
}

}  // namespace

extern "C" int WispLib_AsyncContextOpen(int context, WispLibHandle **handle) {
  if (context < 0 || context >= pelldan::kKernelContexts) return EINVAL;
  char path[128];
  snprintf(path, sizeof path, pelldan::kKernelContextFormat, context);
  return Open(context, SOCK_DGRAM, pelldan::RootPath(path), handle);
}

extern "C" int WispLib_UserContextOpen(int context, WispLibHandle **handle) {
  if (context != pelldan::kUserContext) return EINVAL;
  return Open(context, SOCK_SEQPACKET, pelldan::RootPath(pelldan::kUserContextSocket), handle);
}

extern "C" int WispLib_HandleToFd(const WispLibHandle *handle, int *fd) {
  if (handle == nullptr) return EINVAL;
  *fd = handle->fd;
  return 0;
}

extern "C" int WispLib_ReadFromFd(int fd, void *buf, size_t size, size_t *length) {
  *length = 0;
  for (;;) {
    // MSG_TRUNC reports the whole batch size without consuming or copying it.
    char probe;
    ssize_t pending = recv(fd, &probe, sizeof probe, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    if (pending < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
      return errno;
    }
    size_t whole = static_cast<size_t>(pending);
    if (whole > WISPLIB_MAX_BATCH) {
      int type = 0;
      socklen_t len = sizeof type;
      if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_SEQPACKET) {
        // Can never be a batch: drop it so one producer cannot make us spin.
        char sink;
        recv(fd, &sink, sizeof sink, MSG_DONTWAIT);
        return EMSGSIZE;
      }
      return WISPLIB_TOO_LARGE;
    }
    if (whole > size) return WISPLIB_TOO_LARGE;
    ssize_t got = recv(fd, buf, size, MSG_DONTWAIT);
    if (got < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
      return errno;
    }
    *length = static_cast<size_t>(got);
    return 0;
  }
}

extern "C" int WispLib_Reset(WispLibHandle *handle) {
  if (handle == nullptr) return EINVAL;
  char sink;
  if (recv(handle->fd, &sink, sizeof sink, MSG_DONTWAIT) < 0 && errno != EAGAIN) return errno;
  return 0;
}

extern "C" int WispLib_UserContextNewCnx(WispLibHandle *handle, int *fd) {
  if (handle == nullptr) return EINVAL;
  int c = accept4(handle->fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (c < 0) return errno;
  *fd = c;
  return 0;
}

extern "C" int WispLib_UserContextCloseCnx(int fd) {
  return close(fd) == 0 ? 0 : -errno;
}

extern "C" int WispLib_Close(WispLibHandle *handle) {
  if (handle == nullptr) return EINVAL;
  int rc = close(handle->fd) == 0 ? 0 : errno;
  unlink(handle->path.c_str());
  simhost::ContextLockRelease(handle->lockPath);
  delete handle;
  return rc;
}
