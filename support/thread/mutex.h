// A mutex, its scoped holders and a condition variable, annotated so that a
// clang build with -Wthread-safety proves that guarded state is touched
// only with the mutex held.
//
//   class Queue {
//    public:
//     void push(int v) EXCLUDES(mu_) {
//       MutexLock hold(mu_);
//       items_.push_back(v);
//       ready_.signal();
//     }
//    private:
//     Mutex mu_;
//     CondVar ready_;
//     std::deque<int> items_ GUARDED_BY(mu_);
//   };
//
// Deadlines are on the monotonic clock: setting the wall clock neither
// stretches nor cuts a wait.

#ifndef QUILLO_SUPPORT_THREAD_MUTEX_H_
#define QUILLO_SUPPORT_THREAD_MUTEX_H_

#include <pthread.h>

#include <chrono>

#include "base/thread_annotations.h"

namespace quillo {

class CAPABILITY("mutex") Mutex final {
 public:
  Mutex() { pthread_mutex_init(&mutex_, nullptr); }
  ~Mutex() { pthread_mutex_destroy(&mutex_); }
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { pthread_mutex_lock(&mutex_); }
  void unlock() RELEASE() { pthread_mutex_unlock(&mutex_); }
  // Tells the analysis that the caller holds the mutex (a callback the
  // analysis cannot follow); checks nothing at run time.
  void assert_held() const ASSERT_CAPABILITY(this) {}

 private:
  friend class CondVar;
  pthread_mutex_t mutex_;
};

// Holds a Mutex for one scope.
class SCOPED_CAPABILITY MutexLock final {
 public:
  explicit MutexLock(Mutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
  ~MutexLock() RELEASE() { mu_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mu_;
};

// Gives up a Mutex the caller holds for one scope and takes it again at its
// end, also when the scope is left by an exception.
class SCOPED_CAPABILITY MutexUnlock final {
 public:
  explicit MutexUnlock(Mutex& mu) RELEASE(mu) : mu_(mu) { mu_.unlock(); }
  // RELEASE(), not ACQUIRE(): the destructor of a scoped capability undoes
  // what its constructor did, and clang (14 included) follows that only
  // with this annotation; with ACQUIRE() it takes the scope's end for a
  // second release and loses track of the mutex after it.
  ~MutexUnlock() RELEASE() { mu_.lock(); }
  MutexUnlock(const MutexUnlock&) = delete;
  MutexUnlock& operator=(const MutexUnlock&) = delete;

 private:
  Mutex& mu_;
};

class CondVar final {
 public:
  CondVar();
  ~CondVar();
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  // Sleeps until signalled (wake-ups may be spurious).
  void wait(Mutex& mu) REQUIRES(mu);
  // The same, at most `timeout`; false when the time ran out.
  bool wait_for(Mutex& mu, std::chrono::milliseconds timeout) REQUIRES(mu);

  void signal() { pthread_cond_signal(&cond_); }
  void broadcast() { pthread_cond_broadcast(&cond_); }

 private:
  pthread_cond_t cond_;
};

}  // namespace quillo

#endif  // QUILLO_SUPPORT_THREAD_MUTEX_H_
