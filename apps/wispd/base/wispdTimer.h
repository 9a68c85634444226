// Timer service: one thread runs every timed callback, whole seconds on the
// wall clock.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include <map>

// The timer thread's name, as ps shows it and the scenario runner finds it.
constexpr char kTimerThreadName[] = "wispdTimer";

typedef void (*TimerCallback)(void);

enum { TIMER_ONESHOT = 0, TIMER_PERIODIC = 1, TIMER_MAX = 16 };

// Starts the timer thread (start-up); 0 or the pthread error.
int Timer_Start(void);
// A new disarmed timer, or -1 when all 16 exist.
int Timer_Create(TimerCallback callback);
// seconds 0 disarms; remaining (optional) gets what the timer still had.
int Timer_Set(int id, int mode, unsigned seconds, unsigned *remaining);

// The service behind those calls; tests drive their own instance.
class TimerService {
 public:
  TimerService();
  ~TimerService();
  int Create(TimerCallback callback);
  int Set(int id, int mode, unsigned seconds, unsigned *remaining);
  // Fires the first timer due at now, in id order; false when none is due.
  bool FireDue(int64_t now);
  // Earliest armed fire time, or 0.
  int64_t Earliest();
  // The thread's loop; never returns.
  void Run();
  // Forgets every timer, as at process start, so tests can start a
  // correlator again the way the daemon does.
  void Clear();

 private:
  struct Timer {
    uint32_t mode;
    uint32_t interval;
    int64_t next;
    TimerCallback callback;
  };
  // With the mutex held: the due timer updated and its callback, or NULL.
  TimerCallback TakeDue(int64_t now);
  int64_t EarliestLocked() const;

  pthread_mutex_t mutex_;
  pthread_cond_t cond_;
  std::map<int, Timer> timers_;
  int nextId_ = 0;
};

// The service behind Timer_Create and Timer_Set; tests fire its due timers
// themselves instead of starting the thread.
TimerService &Timer_Service(void);
