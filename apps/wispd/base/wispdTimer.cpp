#include "base/wispdTimer.h"

#include <new>

#include "base/wispdClock.h"
#include "base/wispdLock.h"
#include "base/wispdLog.h"
#include "base/wispdMemory.h"

TimerService::TimerService() {
  pthread_mutex_init(&mutex_, nullptr);
  pthread_cond_init(&cond_, nullptr);
}

TimerService::~TimerService() {
  pthread_cond_destroy(&cond_);
  pthread_mutex_destroy(&mutex_);
}

int TimerService::Create(TimerCallback callback) {
  MutexGuard lock(&mutex_);
  if (nextId_ >= TIMER_MAX) return -1;
  // Out of memory the timer is not made: -1, as for a full table.
  try {
    timers_[nextId_] = Timer{TIMER_ONESHOT, 0, 0, callback};
  } catch (const std::bad_alloc &) {
    return -1;
  }
  return nextId_++;
}

int TimerService::Set(int id, int mode, unsigned seconds, unsigned *remaining) {
  if (mode < 0 || mode > TIMER_PERIODIC) return 1;
  int64_t now = Clock_WallSeconds();
  pthread_mutex_lock(&mutex_);
  auto it = timers_.find(id);
  if (it == timers_.end()) {
    pthread_mutex_unlock(&mutex_);
    return 1;
  }
  Timer &t = it->second;
  if (remaining != nullptr) *remaining = t.next > now ? static_cast<unsigned>(t.next - now) : 0;
  t.mode = static_cast<uint32_t>(mode);
  t.interval = seconds;
  t.next = seconds == 0 ? 0 : now + seconds;
  pthread_cond_broadcast(&cond_);
  pthread_mutex_unlock(&mutex_);
  return 0;
}

TimerCallback TimerService::TakeDue(int64_t now) {
  for (auto &entry : timers_) {
    Timer &t = entry.second;
    if (t.next == 0 || t.next > now) continue;
    if (t.mode == TIMER_PERIODIC) {
      t.next = now + t.interval;
    } else {
      t.interval = 0;
      t.next = 0;
    }
    return t.callback;
  }
  return nullptr;
}

int64_t TimerService::EarliestLocked() const {
  int64_t earliest = 0;
  for (const auto &entry : timers_) {
    int64_t next = entry.second.next;
    if (next != 0 && (earliest == 0 || next < earliest)) earliest = next;
  }
  return earliest;
}

bool TimerService::FireDue(int64_t now) {
  pthread_mutex_lock(&mutex_);
  TimerCallback cb = TakeDue(now);
  pthread_mutex_unlock(&mutex_);
  if (cb == nullptr) return false;
  cb();
  return true;
}

int64_t TimerService::Earliest() {
  pthread_mutex_lock(&mutex_);
  int64_t earliest = EarliestLocked();
  pthread_mutex_unlock(&mutex_);
  return earliest;
}

void TimerService::Run() {
  int64_t wake = Clock_WallSeconds();
  for (;;) {
    pthread_mutex_lock(&mutex_);
    // The first scan uses the time of the previous wake-up; each later one
    // reads the clock again.
    TimerCallback cb = TakeDue(wake);
    while (cb == nullptr) {
      wake = Clock_WallSeconds();
      cb = TakeDue(wake);
      if (cb != nullptr) break;
      int64_t earliest = EarliestLocked();
      if (earliest != 0) {
        struct timespec until = {static_cast<time_t>(earliest), 0};
        pthread_cond_timedwait(&cond_, &mutex_, &until);
      } else {
        pthread_cond_wait(&cond_, &mutex_);
      }
    }
    pthread_mutex_unlock(&mutex_);
    // A callback's failure costs that run of it, not the timer thread.
    try {
      cb();
    } catch (const std::bad_alloc &) {
      Memory_Failed("a timer callback");
    } catch (const std::exception &e) {
      Log("Timer callback failed: %s\n", e.what());
    }
  }
}

void TimerService::Clear() {
  pthread_mutex_lock(&mutex_);
  timers_.clear();
  nextId_ = 0;
  pthread_mutex_unlock(&mutex_);
}

TimerService &Timer_Service(void) {
  static TimerService *service = new TimerService;  // lives as long as the process
  return *service;
}

namespace {

TimerService &Service() {
  return Timer_Service();
}

void *TimerThread(void *) {
  pthread_setname_np(pthread_self(), kTimerThreadName);  // told apart in ps and fault tests
  Service().Run();
  return nullptr;
}

}  // namespace

int Timer_Start(void) {
  pthread_t thread;
  int rc = pthread_create(&thread, nullptr, TimerThread, nullptr);
  if (rc != 0) Log("Failed to start the timer thread: %d\n", rc);
  return rc;
}

int Timer_Create(TimerCallback callback) {
  return Service().Create(callback);
}

int Timer_Set(int id, int mode, unsigned seconds, unsigned *remaining) {
  return Service().Set(id, mode, seconds, remaining);
}
