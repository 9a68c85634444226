// The stepped clock's timed wait, linked in here as it is preloaded into
// the daemon: it sleeps in short slices, and a broadcast that lands as a
// slice ends must still wake the waiter.
#include <gtest/gtest.h>
#include <pthread.h>
#include <time.h>

#include <thread>

TEST(StepWait, ABroadcastAsASliceEndsWakesTheWaiter) {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
  bool waiting = false, set = false;
  int rc = -1;
  std::thread waiter([&] {
    pthread_mutex_lock(&mutex);
    waiting = true;
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += 3;
    while (!set && rc != ETIMEDOUT) rc = pthread_cond_timedwait(&cond, &mutex, &until);
    pthread_mutex_unlock(&mutex);
  });
  // Holding the mutex with the flag up, the waiter is inside its wait.
  for (;;) {
    pthread_mutex_lock(&mutex);
    if (waiting) break;
    pthread_mutex_unlock(&mutex);
  }
  // Held past the end of a slice, the waiter's slice times out and it waits
  // for the mutex: the broadcast then reaches a waiter that is not asleep.
  struct timespec hold = {0, 20 * 1000 * 1000};
  nanosleep(&hold, nullptr);
  set = true;
  pthread_cond_broadcast(&cond);
  pthread_mutex_unlock(&mutex);
  waiter.join();
  EXPECT_EQ(rc, 0) << "the waiter slept on to its deadline";
}
