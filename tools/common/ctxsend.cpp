#include "ctxsend.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

#include "pelldan/paths.h"
#include "pelldan/root.h"
#include "simhost/sockets.h"

namespace tools {

ContextSocket::~ContextSocket() {
  if (user_ >= 0) close(user_);
  if (dgram_ >= 0) close(dgram_);
}

std::string ContextSocket::Where(int ctx) {
  if (ctx == kUserContext) return pelldan::RootPath(pelldan::kUserContextSocket);
  char path[128];
  snprintf(path, sizeof path, pelldan::kKernelContextFormat, ctx);
  return pelldan::RootPath(path);
}

bool ContextSocket::Transient(int err) {
  return err == ENOENT || err == ECONNREFUSED || err == EAGAIN || err == ENOBUFS;
}

int ContextSocket::Send(int ctx, const std::string &batch, bool wait) {
  int flags = MSG_NOSIGNAL | (wait ? 0 : MSG_DONTWAIT);
  if (ctx == kUserContext) {
    if (user_ < 0) {
      int fd = simhost::ConnectUnix(SOCK_SEQPACKET, Where(kUserContext));
      if (fd < 0) return -fd;
      user_ = fd;
    }
    if (send(user_, batch.data(), batch.size(), flags) < 0) return errno;
    return 0;
  }
  if (dgram_ < 0) dgram_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (dgram_ < 0) return errno;
  struct sockaddr_un addr;
  if (!simhost::MakeUnixAddress(Where(ctx), &addr)) return ENAMETOOLONG;
  if (sendto(dgram_, batch.data(), batch.size(), flags, reinterpret_cast<struct sockaddr *>(&addr),
             sizeof addr) < 0)
    return errno;
  return 0;
}

}  // namespace tools
