// One background thread, held by the object whose loop it runs:
//
//   class Poller {
//    public:
//     Poller() { worker_.start([this] { loop(); }); }
//     ~Poller() { stop(); }          // before any member the loop uses goes
//     void stop() {
//       { MutexLock hold(mu_); stop_ = true; }
//       wake_.signal();
//       worker_.join();
//     }
//    private:
//     void loop();                   // returns once it sees stop_
//     Mutex mu_;
//     CondVar wake_;
//     bool stop_ GUARDED_BY(mu_) = false;
//     Worker worker_;                // last: joined before the rest goes
//   };
//
// The worker knows nothing of its owner's state or lock: the owner keeps
// its mutex, condition and stop flag, and nobody outside can take them.
// The thread starts with every asynchronous signal blocked, so that
// process-wide signals are handled by the thread that started it.

#ifndef QUILLO_SUPPORT_THREAD_WORKER_H_
#define QUILLO_SUPPORT_THREAD_WORKER_H_

#include <pthread.h>

#include <functional>

namespace quillo {

class Worker final {
 public:
  Worker() = default;
  // Joins a thread still running: its owner must have told it to stop.
  ~Worker() { join(); }
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Runs `body` on a new thread. 0, or an error number: EINVAL when a
  // thread is running already (not yet joined).
  int start(std::function<void()> body);

  // Waits for the thread to return; nothing when none runs. Never raises.
  void join() noexcept;

  bool running() const { return running_; }

 private:
  static void* run(void* self);

  std::function<void()> body_;
  pthread_t thread_{};
  bool running_ = false;
};

}  // namespace quillo

#endif  // QUILLO_SUPPORT_THREAD_WORKER_H_
