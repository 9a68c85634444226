#include "base/wispdNotify.h"

#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

void Notify_Send(const char *state) {
  const char *where = getenv("NOTIFY_SOCKET");
  if (where == nullptr || (where[0] != '/' && where[0] != '@')) return;
  size_t len = strlen(where);
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (len >= sizeof addr.sun_path) return;
  memcpy(addr.sun_path, where, len);
  if (addr.sun_path[0] == '@') addr.sun_path[0] = '\0';
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  socklen_t addrLen = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + len);
  sendto(fd, state, strlen(state), MSG_NOSIGNAL, reinterpret_cast<struct sockaddr *>(&addr),
         addrLen);
  close(fd);
}
