// Mutexes of one process, in a form clang's thread-safety analysis follows
// (thread_annotations.h).  Process locks are in proc_lock.h.
#pragma once

#include <pthread.h>

#include "shared/thread_annotations.h"

namespace zrfs {

// A pthread mutex and nothing else, so it has a pthread mutex's size and
// alignment wherever a layout is fixed.
class CAPABILITY("mutex") Mutex {
 public:
  void Lock() ACQUIRE() { pthread_mutex_lock(&mu_); }
  void Unlock() RELEASE() { pthread_mutex_unlock(&mu_); }
  // For a mutex in memory that was not made by its constructor.
  void Init() { pthread_mutex_init(&mu_, nullptr); }
  void Destroy() { pthread_mutex_destroy(&mu_); }

 private:
  pthread_mutex_t mu_ = PTHREAD_MUTEX_INITIALIZER;
};

// A mutex whose pthread_mutex_t must keep its C name and type (it is
// exported): the analysis follows this view of it.
class CAPABILITY("mutex") MutexView {
 public:
  constexpr explicit MutexView(pthread_mutex_t *mu) : mu_(mu) {}
  void Lock() ACQUIRE() { pthread_mutex_lock(mu_); }
  void Unlock() RELEASE() { pthread_mutex_unlock(mu_); }

 private:
  pthread_mutex_t *mu_;
};

// Holds a mutex for a scope.
template <typename M>
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(M &mu) ACQUIRE(mu) : mu_(mu) { mu_.Lock(); }
  ~MutexLock() RELEASE() { mu_.Unlock(); }
  MutexLock(const MutexLock &) = delete;
  MutexLock &operator=(const MutexLock &) = delete;

 private:
  M &mu_;
};

}  // namespace zrfs
