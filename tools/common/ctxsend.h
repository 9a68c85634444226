// Batches to the daemon's observation sources under WISPD_ROOT: a kernel
// context's datagram socket, or one connection to the user-level context.
#pragma once

#include <string>

namespace tools {

constexpr int kUserContext = -1;

class ContextSocket {
 public:
  ContextSocket() = default;
  ~ContextSocket();
  ContextSocket(const ContextSocket &) = delete;
  ContextSocket &operator=(const ContextSocket &) = delete;

  // Sends one batch to kernel context ctx (0..23) or kUserContext: 0, or
  // the errno of the failure. wait false: a full queue gives EAGAIN at once.
  int Send(int ctx, const std::string &batch, bool wait = true);
  static std::string Where(int ctx);
  // The errors after which the same send may work later (no daemon yet,
  // its queue full).
  static bool Transient(int err);

 private:
  int user_ = -1;
  int dgram_ = -1;
};

}  // namespace tools
