#include "listen.h"

#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tools {

bool SplitListen(const std::string &listen, std::string *host, int *port) {
  size_t colon = listen.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  *host = listen.substr(0, colon);
  if (host->front() == '[') {
    if (host->size() < 3 || host->back() != ']') return false;
    *host = host->substr(1, host->size() - 2);
  }
  std::string digits = listen.substr(colon + 1);
  if (digits.empty() || digits.size() > 5 ||
      digits.find_first_not_of("0123456789") != std::string::npos)
    return false;
  *port = atoi(digits.c_str());
  return *port <= 65535;
}

int ListenTcp(const std::string &host, int port, int *bound, std::string *why) {
  struct addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  struct addrinfo *found = nullptr;
  int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0) {
    *why = gai_strerror(rc);
    return -1;
  }
  // The first address only: one server answers on one address.
  int fd = socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  // SO_REUSEADDR lets a restart bind past connections in TIME_WAIT, but
  // never beside a socket that still listens; SO_REUSEPORT, which would,
  // is left off.
  int one = 1;
  if (fd < 0 || setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      bind(fd, found->ai_addr, found->ai_addrlen) != 0 || listen(fd, SOMAXCONN) != 0) {
    *why = strerror(errno);
    if (fd >= 0) close(fd);
    freeaddrinfo(found);
    return -1;
  }
  freeaddrinfo(found);
  struct sockaddr_storage addr;
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<struct sockaddr *>(&addr), &len);
  *bound = ntohs(addr.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&addr)->sin6_port
                                            : reinterpret_cast<sockaddr_in *>(&addr)->sin_port);
  return fd;
}

}  // namespace tools
