#include "support/thread/thread.h"

#include <errno.h>
#include <signal.h>
#include <time.h>

#include <initializer_list>

Thread::Thread() {
  pthread_mutex_init(&mutex_, nullptr);
  pthread_condattr_t attributes;
  pthread_condattr_init(&attributes);
  // Deadlines are on the monotonic clock: setting the wall clock neither
  // stretches nor cuts a wait.
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  pthread_cond_init(&condition_, &attributes);
  pthread_condattr_destroy(&attributes);
}

Thread::~Thread() {
  stop_and_join();
  pthread_cond_destroy(&condition_);
  pthread_mutex_destroy(&mutex_);
}

int Thread::wait(unsigned seconds) {
  if (seconds == 0) return wait_for(std::chrono::milliseconds::max());
  return wait_for(std::chrono::seconds(seconds));
}

int Thread::wait_for(std::chrono::milliseconds timeout) {
  // Without this a stop requested while the thread was between its own
  // unlock() and its next wait() would be slept through, and the owner's
  // destructor would block until the time limit.
  if (stop_) return 0;
  if (timeout == std::chrono::milliseconds::max()) {
    return pthread_cond_wait(&condition_, &mutex_);
  }
  if (timeout.count() < 0) timeout = std::chrono::milliseconds(0);
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  const long long ms = timeout.count();
  deadline.tv_sec += static_cast<time_t>(ms / 1000);
  deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  return pthread_cond_timedwait(&condition_, &mutex_, &deadline);
}

int Thread::start() {
  if (function_ == nullptr || running_) return EINVAL;
  // The thread starts with every signal blocked that is delivered to the
  // process as a whole, so that their handlers run on the starting thread
  // only; faults raised by the thread itself stay deliverable.
  sigset_t blocked;
  sigfillset(&blocked);
  for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) {
    sigdelset(&blocked, fault);
  }
  sigset_t saved;
  pthread_sigmask(SIG_BLOCK, &blocked, &saved);
  const int result = pthread_create(&thread_, nullptr, function_, this);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  running_ = result == 0;
  return result;
}

void Thread::lock() { pthread_mutex_lock(&mutex_); }

void Thread::unlock() { pthread_mutex_unlock(&mutex_); }

void Thread::signal() { pthread_cond_signal(&condition_); }

void Thread::request_stop() {
  ThreadLock hold(*this);
  stop_ = true;
}

void Thread::stop_and_join() noexcept {
  // The pthread calls directly, not the virtual ones: this runs from
  // destructors, where a derived override may already be gone.
  pthread_mutex_lock(&mutex_);
  stop_ = true;
  pthread_mutex_unlock(&mutex_);
  pthread_cond_signal(&condition_);
  if (running_) {
    pthread_join(thread_, nullptr);
    running_ = false;
  }
}
