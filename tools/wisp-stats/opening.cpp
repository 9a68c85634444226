#include "opening.h"

#include <errno.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace wispstats {

namespace {

// RFC 9110's token characters, of which a method is made.
bool Token(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         (c != 0 && strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

}  // namespace

bool MayOpenRequest(const unsigned char *bytes, size_t size) {
  size_t i = 0;
  // Empty lines before a request line are allowed.
  while (i < size && (bytes[i] == '\r' || bytes[i] == '\n')) ++i;
  size_t method = i;
  for (; i < size; ++i) {
    if (bytes[i] == ' ') return i > method;
    if (!Token(bytes[i])) return false;
  }
  return true;  // a method so far
}

Opening PeekOpening(int fd) {
  unsigned char bytes[16];
  ssize_t n;
  do {
    n = recv(fd, bytes, sizeof bytes, MSG_PEEK | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK ? Opening::WAIT : Opening::GONE;
  if (n == 0) return Opening::GONE;
  return MayOpenRequest(bytes, static_cast<size_t>(n)) ? Opening::HTTP : Opening::NOT_HTTP;
}

void RefuseNotHttp(int fd) {
  // What came is read first: closed with unread bytes, the connection would
  // be reset and the answer could be lost.
  char sink[4096];
  for (int i = 0; i < 16 && recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
  }
  const std::string body = "Not an HTTP request: try GET /metrics\n";
  const std::string answer =
      "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain; charset=utf-8\r\n"
      "Connection: close\r\nContent-Length: " +
      std::to_string(body.size()) + "\r\n\r\n" + body;
  send(fd, answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  shutdown(fd, SHUT_WR);
  close(fd);
}

}  // namespace wispstats
