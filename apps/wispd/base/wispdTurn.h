// A thread that works for long without waiting offers its CPU between units
// of work. A thread woken onto a busy CPU otherwise waits until the kernel's
// next tick takes the CPU back (4 ms at 250 Hz): on a loaded two-core host
// that wait, not the work, was the slow observation's delay.
#pragma once

#include <stdint.h>

class WorkTurn {
 public:
  // How long a turn lasts before the CPU is offered.
  static constexpr int64_t kLengthNs = 100 * 1000;

  using Now = int64_t (*)();  // steady nanoseconds
  using Offer = void (*)();   // gives the CPU to another runnable thread

  WorkTurn();  // the steady clock and sched_yield
  WorkTurn(Now now, Offer offer) : now_(now), offer_(offer), start_(now()) {}

  // A wait ended: the thread starts a new turn.
  void Begin() { start_ = now_(); }
  // True once the turn has lasted its length.
  bool Over() { return now_() - start_ >= kLengthNs; }
  // Offers the CPU and starts the next turn.
  void Yield() {
    offer_();
    Begin();
  }

 private:
  Now now_;
  Offer offer_;
  int64_t start_;
};
