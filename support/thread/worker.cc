#include "support/thread/worker.h"

#include <time.h>

#include <cerrno>
#include <csignal>
#include <utility>

#include "support/thread/mutex.h"

namespace quillo {

CondVar::CondVar() {
  pthread_condattr_t attributes;
  pthread_condattr_init(&attributes);
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  pthread_cond_init(&cond_, &attributes);
  pthread_condattr_destroy(&attributes);
}

CondVar::~CondVar() { pthread_cond_destroy(&cond_); }

void CondVar::wait(Mutex& mu) { pthread_cond_wait(&cond_, &mu.mutex_); }

bool CondVar::wait_for(Mutex& mu, std::chrono::milliseconds timeout) {
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
  return pthread_cond_timedwait(&cond_, &mu.mutex_, &deadline) != ETIMEDOUT;
}

int Worker::start(std::function<void()> body) {
  if (running_ || !body) return EINVAL;
  body_ = std::move(body);
  // Faults raised by the thread itself stay deliverable.
  sigset_t blocked;
  sigfillset(&blocked);
  for (const int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS}) {
    sigdelset(&blocked, fault);
  }
  sigset_t saved;
  pthread_sigmask(SIG_BLOCK, &blocked, &saved);
  const int result = pthread_create(&thread_, nullptr, &Worker::run, this);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  running_ = result == 0;
  return result;
}

void Worker::join() noexcept {
  if (!running_) return;
  pthread_join(thread_, nullptr);
  running_ = false;
}

void* Worker::run(void* self) {
  static_cast<Worker*>(self)->body_();
  return nullptr;
}

}  // namespace quillo
