// Preloaded into the daemon beside libfaketime when a scenario steps its
// clock. A timed wait on the condition variable would otherwise sleep in
// real time until the deadline it saw before the step; here it waits in
// short real slices and re-reads the (stepped) clock between them, so a due
// timer fires as soon as the clock reaches it. The state file tells the
// scenario runner the last clock second the waiter checked, whether it is
// asleep again and how often it went back to its caller. A signal to the
// waiter's condition clears its waiting flag at once: from then until it
// waits again it has work (a timer set anew) the runner must not miss.
#include "stepwait.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include "base/wispdTimer.h"

namespace {

using TimedWait = int (*)(pthread_cond_t *, pthread_mutex_t *, const struct timespec *);
using Wake = int (*)(pthread_cond_t *);

// The condition the timed waiter sleeps on.
std::atomic<pthread_cond_t *> gWaitCond{nullptr};

// Signals and broadcasts so far, to any condition. A waiter whose slice
// ended just as it was signalled (timed out, then woken for the mutex)
// gets ETIMEDOUT from the slice; if the count moved since it began to wait
// it returns as the signal would have made it, rather than sleep on
// through the signal to its old deadline.
std::atomic<uint64_t> gSignals{0};

StepWaitState *State() {
  static StepWaitState *state = [] {
    const char *path = getenv(kStepWaitStateEnv);
    if (path == nullptr) return static_cast<StepWaitState *>(nullptr);
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) return static_cast<StepWaitState *>(nullptr);
    void *map = mmap(nullptr, sizeof(StepWaitState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    return map == MAP_FAILED ? nullptr : static_cast<StepWaitState *>(map);
  }();
  return state;
}

bool Before(const struct timespec &a, const struct timespec &b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// The daemon's timer thread, by the name it gives itself. Only its waits
// are reported: from its first one on, so that a timer set before it ever
// waited with a deadline is not missed either.
bool IsTimerThread() {
  thread_local bool known = false;
  if (known) return true;
  char name[16] = "";
  prctl(PR_GET_NAME, name, 0, 0, 0);
  known = strcmp(name, kTimerThreadName) == 0;
  return known;
}

// A signal for the waiter: it is busy until it waits again.
void NoteWake(pthread_cond_t *cond) {
  gSignals.fetch_add(1);
  StepWaitState *state = State();
  if (state != nullptr && cond == gWaitCond.load()) state->waiting.store(0);
}

}  // namespace

extern "C" int pthread_cond_broadcast(pthread_cond_t *cond) {
  static Wake next =
      reinterpret_cast<Wake>(dlvsym(RTLD_NEXT, "pthread_cond_broadcast", "GLIBC_2.3.2"));
  NoteWake(cond);
  return next != nullptr ? next(cond) : EINVAL;
}

extern "C" int pthread_cond_signal(pthread_cond_t *cond) {
  static Wake next =
      reinterpret_cast<Wake>(dlvsym(RTLD_NEXT, "pthread_cond_signal", "GLIBC_2.3.2"));
  NoteWake(cond);
  return next != nullptr ? next(cond) : EINVAL;
}

// With no timer armed the waiter sleeps without a deadline.
extern "C" int pthread_cond_wait(pthread_cond_t *cond, pthread_mutex_t *mutex) {
  using Wait = int (*)(pthread_cond_t *, pthread_mutex_t *);
  static Wait next = reinterpret_cast<Wait>(dlvsym(RTLD_NEXT, "pthread_cond_wait", "GLIBC_2.3.2"));
  if (next == nullptr) return EINVAL;
  StepWaitState *state = State();
  if (state == nullptr || !IsTimerThread()) return next(cond, mutex);
  gWaitCond.store(cond);
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  state->tid.store(static_cast<int32_t>(gettid()));
  state->seen.store(now.tv_sec);
  state->deadline.store(0);
  state->waiting.store(1);
  int rc = next(cond, mutex);
  state->waiting.store(0);
  state->returns.fetch_add(1);
  return rc;
}

extern "C" int pthread_cond_timedwait(pthread_cond_t *cond, pthread_mutex_t *mutex,
                                      const struct timespec *abstime) {
  static TimedWait next =
      reinterpret_cast<TimedWait>(dlvsym(RTLD_NEXT, "pthread_cond_timedwait", "GLIBC_2.3.2"));
  if (next == nullptr) return EINVAL;
  // Every timed wait sleeps in slices of the stepped clock; the timer
  // thread's alone is reported.
  StepWaitState *state = State();
  if (!IsTimerThread()) state = nullptr;
  if (state != nullptr) gWaitCond.store(cond);
  auto back = [state](int rc) {
    if (state != nullptr) state->returns.fetch_add(1);
    return rc;
  };
  // The caller holds the mutex: a signal for what it waits on comes later.
  const uint64_t signals = gSignals.load();
  for (;;) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);  // the stepped clock
    if (!Before(now, *abstime)) return back(ETIMEDOUT);
    struct timespec slice = now;
    slice.tv_nsec += kStepWaitSliceNanos;
    if (slice.tv_nsec >= 1000000000L) {
      slice.tv_sec += 1;
      slice.tv_nsec -= 1000000000L;
    }
    if (Before(*abstime, slice)) slice = *abstime;
    if (state != nullptr) {
      state->tid.store(static_cast<int32_t>(gettid()));
      state->seen.store(now.tv_sec);
      state->deadline.store(abstime->tv_sec + (abstime->tv_nsec > 0 ? 1 : 0));
      state->waiting.store(1);
    }
    int rc = next(cond, mutex, &slice);
    if (state != nullptr) state->waiting.store(0);
    if (rc != ETIMEDOUT) return back(rc);
    if (gSignals.load() != signals) return back(0);
  }
}
