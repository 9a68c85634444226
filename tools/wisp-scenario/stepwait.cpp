// Preloaded into the daemon beside libfaketime when a scenario steps its
// clock. A timed wait on the condition variable would otherwise sleep in
// real time until the deadline it saw before the step; here it waits in
// short real slices and re-reads the (stepped) clock between them, so a due
// timer fires as soon as the clock reaches it. The state file tells the
// scenario runner the last clock second the waiter checked and whether it
// is asleep again.
#include "stepwait.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

namespace {

using TimedWait = int (*)(pthread_cond_t *, pthread_mutex_t *, const struct timespec *);

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

}  // namespace

extern "C" int pthread_cond_timedwait(pthread_cond_t *cond, pthread_mutex_t *mutex,
                                      const struct timespec *abstime) {
  static TimedWait next =
      reinterpret_cast<TimedWait>(dlvsym(RTLD_NEXT, "pthread_cond_timedwait", "GLIBC_2.3.2"));
  if (next == nullptr) return EINVAL;
  StepWaitState *state = State();
  for (;;) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);  // the stepped clock
    if (!Before(now, *abstime)) return ETIMEDOUT;
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
    if (rc != ETIMEDOUT) return rc;
  }
}
