// A process-wide mutex held for a scope: released on every way out, an
// exception (a failed allocation) included, so no lock outlives its holder.
#pragma once

#include <pthread.h>

class MutexGuard {
 public:
  explicit MutexGuard(pthread_mutex_t *mutex) : mutex_(mutex) { pthread_mutex_lock(mutex_); }
  ~MutexGuard() { pthread_mutex_unlock(mutex_); }
  MutexGuard(const MutexGuard &) = delete;
  MutexGuard &operator=(const MutexGuard &) = delete;
  pthread_mutex_t *Mutex() const { return mutex_; }

 private:
  pthread_mutex_t *mutex_;
};
