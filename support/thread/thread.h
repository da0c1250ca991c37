// Base class for one background thread with one mutex, one condition
// variable and a stop flag.
//
// A derived class stores its loop with set_thread_function() when it is
// constructed; the owner calls start() once. The loop sleeps in wait() with
// the mutex held, is woken early by signal(), and returns once it sees
// stop_requested(). The mutex is only ever taken through ThreadLock (and
// given up for a while through ThreadUnlock), so that no exception can
// leave it held. Example loop:
//
//   void* Worker::Loop(void* self) {
//     auto* worker = static_cast<Worker*>(self);
//     ThreadLock lock(*worker);
//     for (;;) {
//       worker->wait(60);
//       if (worker->stop_requested()) return nullptr;
//       ...  // work on the guarded state
//     }
//   }
//
//   Worker::~Worker() { stop_and_join(); }  // before any member goes

#ifndef QUILLO_SUPPORT_THREAD_THREAD_H_
#define QUILLO_SUPPORT_THREAD_THREAD_H_

#include <pthread.h>

#include <chrono>

// Owns the thread it started (joined at the latest by the destructor), the
// mutex and the condition. lock(), unlock(), signal() and request_stop() may
// be called from any thread; wait() and stop_requested() only with the mutex
// held; start(), set_thread_function() and destruction only by the owner.
class Thread {
 public:
  // The body of the thread; it receives the Thread object itself.
  using ThreadFunction = void* (*)(void*);

  Thread();

  // Must be called with the mutex held. Sleeps on the condition until
  // signal() wakes it or, with a non-zero `seconds`, until that many seconds
  // have passed on the monotonic clock. Returns 0 when woken (wake-ups may
  // be spurious) and ETIMEDOUT when the time ran out. Once a stop has been
  // requested it returns 0 at once, so a stop that came while the thread was
  // busy is not slept through.
  virtual int wait(unsigned seconds);
  // The same with a bound in milliseconds (max(): no bound).
  int wait_for(std::chrono::milliseconds timeout);

  // Stops and joins the thread if stop_and_join() has not done so already,
  // then destroys the mutex and the condition.
  virtual ~Thread();

  // Creates the thread, running the thread function with this object, with
  // every asynchronous signal blocked in it: process-wide signals are
  // handled by the thread that started it. Returns 0, or an error number:
  // EINVAL when no function is set or the thread was started already and
  // not yet joined.
  virtual int start();

  // Take the mutex through ThreadLock rather than by hand.
  virtual void lock();
  virtual void unlock();

  // Wakes one thread sleeping in wait(); with or without the mutex held.
  virtual void signal();

  // Sets the stop flag under the mutex. Does not wake a sleeping thread:
  // it notices the flag when its wait() ends.
  virtual void request_stop();

  // Whether a stop has been requested. Call with the mutex held (the thread
  // function does, right after each wait()).
  bool stop_requested() const { return stop_; }

  // The mutex itself, for checks in tests; take it through ThreadLock.
  pthread_mutex_t* native_mutex() { return &mutex_; }

  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

 protected:
  void set_thread_function(ThreadFunction function) { function_ = function; }

  // Requests a stop, wakes the thread and joins it; does nothing for a
  // thread that was never started or is joined already. A derived class
  // whose thread function uses its members calls this first in its
  // destructor, so that the thread never runs on destroyed members.
  // Never raises.
  void stop_and_join() noexcept;

 private:
  pthread_t thread_{};
  bool stop_ = false;  // guarded by mutex_
  ThreadFunction function_ = nullptr;
  pthread_mutex_t mutex_;
  pthread_cond_t condition_;
  bool running_ = false;  // start() made thread_ and it is not joined yet
};

// Holds the mutex of a Thread for one scope.
class ThreadLock final {
 public:
  explicit ThreadLock(Thread& thread) : thread_(thread) { thread_.lock(); }
  ~ThreadLock() { thread_.unlock(); }
  ThreadLock(const ThreadLock&) = delete;
  ThreadLock& operator=(const ThreadLock&) = delete;

 private:
  Thread& thread_;
};

// Gives up the mutex of a Thread, which the caller holds, for one scope and
// takes it again at its end, also when the scope is left by an exception.
class ThreadUnlock final {
 public:
  explicit ThreadUnlock(Thread& thread) : thread_(thread) { thread_.unlock(); }
  ~ThreadUnlock() { thread_.lock(); }
  ThreadUnlock(const ThreadUnlock&) = delete;
  ThreadUnlock& operator=(const ThreadUnlock&) = delete;

 private:
  Thread& thread_;
};

#endif  // QUILLO_SUPPORT_THREAD_THREAD_H_
