#include "intake.h"

#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>

#include "simhost/sockets.h"

namespace testing_support {

TraceClient::TraceClient(int listenFd, const std::string &path) {
  fd_ = simhost::ConnectUnix(SOCK_STREAM, path);
  if (fd_ >= 0) Trace_Accept(listenFd);
}

TraceClient::~TraceClient() {
  close(fd_);
}

std::string TraceClient::ReadUntil(const std::string &text, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (got_.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    if (!Readable(fd_, 50)) continue;
    char buf[65536];
    ssize_t n = read(fd_, buf, sizeof buf);
    if (n <= 0) break;
    got_.append(buf, static_cast<size_t>(n));
  }
  return got_;
}

}  // namespace testing_support
