// Helpers for tests of streams, agents and the trace server.
#pragma once

#include <poll.h>

#include <string>

#include "intake/wispdStream.h"
#include "output/wispdTrace.h"

namespace testing_support {

inline void EnsureRegistry() {
  static bool done = (Stream_RegistryInit(), true);
  (void)done;
}

inline bool Readable(int fd, int timeoutMs = 0) {
  struct pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN);
}

inline int Dispatch(const std::string &batch) {
  return Stream_Dispatch(reinterpret_cast<const uint8_t *>(batch.data()), batch.size());
}

// A trace client of a private listening socket at path.
class TraceClient {
 public:
  TraceClient(int listenFd, const std::string &path);
  ~TraceClient();
  int Fd() const { return fd_; }
  // Reads until text has arrived; everything read so far.
  std::string ReadUntil(const std::string &text, int timeoutMs = 5000);
  // Forgets what was read so far (for long streams).
  void Clear() { got_.clear(); }

 private:
  int fd_;
  std::string got_;
};

}  // namespace testing_support
