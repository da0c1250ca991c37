#include "support/thread/worker.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "support/thread/mutex.h"

namespace quillo {
namespace {

using Clock = std::chrono::steady_clock;

// A bound against a hung test, not a limit.
constexpr std::chrono::seconds kBound{10};

TEST(WorkerTest, RunsItsBodyOnceOnAThreadOfItsOwnAndJoins) {
  Worker worker;
  EXPECT_EQ(worker.start(nullptr), EINVAL);
  EXPECT_FALSE(worker.running());
  worker.join();  // nothing to join: returns

  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> runs{0};
  std::thread::id body_thread;
  ASSERT_EQ(worker.start([&] {
    body_thread = std::this_thread::get_id();
    ++runs;
    released.wait_for(kBound);
  }),
            0);
  EXPECT_TRUE(worker.running());
  EXPECT_EQ(worker.start([&] { ++runs; }), EINVAL);  // one at a time
  release.set_value();
  worker.join();
  EXPECT_FALSE(worker.running());
  EXPECT_EQ(runs.load(), 1);
  EXPECT_NE(body_thread, std::this_thread::get_id());

  // Joined, it may run again.
  ASSERT_EQ(worker.start([&] { ++runs; }), 0);
  worker.join();
  EXPECT_EQ(runs.load(), 2);
}

TEST(WorkerTest, ThreadStartsWithAsynchronousSignalsBlocked) {
  sigset_t before;
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, nullptr, &before), 0);
  sigset_t in_thread;
  sigemptyset(&in_thread);
  {
    Worker worker;
    ASSERT_EQ(
        worker.start([&] { pthread_sigmask(SIG_BLOCK, nullptr, &in_thread); }),
        0);
  }  // joined here
  for (const int sig : {SIGTERM, SIGHUP, SIGINT, SIGUSR1, SIGCHLD, SIGPIPE}) {
    EXPECT_EQ(sigismember(&in_thread, sig), 1) << "signal " << sig;
  }
  // Faults the thread raises itself stay deliverable.
  for (const int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
    EXPECT_EQ(sigismember(&in_thread, sig), 0) << "signal " << sig;
  }
  // The starting thread's own mask is as it was.
  sigset_t after;
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, nullptr, &after), 0);
  for (const int sig : {SIGTERM, SIGHUP, SIGUSR1}) {
    EXPECT_EQ(sigismember(&after, sig), sigismember(&before, sig));
  }
}

TEST(CondVarTest, TimedWaitReturnsFalseWhenTheTimeRunsOut) {
  Mutex mu;
  CondVar cond;
  MutexLock hold(mu);
  const Clock::time_point started = Clock::now();
  EXPECT_FALSE(cond.wait_for(mu, std::chrono::milliseconds(300)));
  const Clock::duration elapsed = Clock::now() - started;
  EXPECT_GE(elapsed, std::chrono::milliseconds(290));
  EXPECT_LT(elapsed, std::chrono::seconds(5));
  // A time already past does not sleep at all.
  const Clock::time_point again = Clock::now();
  EXPECT_FALSE(cond.wait_for(mu, std::chrono::milliseconds(-5)));
  EXPECT_LT(Clock::now() - again, std::chrono::seconds(1));
}

// The shape worker.h describes: the owner's mutex, condition and stop
// flag, the loop checking the flag under the mutex before every wait.
class Sleeper {
 public:
  // Starts the loop once `gate` is ready.
  explicit Sleeper(std::shared_future<void> gate) : gate_(std::move(gate)) {}
  ~Sleeper() { stop(); }

  int start() {
    return worker_.start([this] { loop(); });
  }
  // Sets the flag and signals; wakes the loop if it waits.
  void request_stop() EXCLUDES(mu_) {
    {
      MutexLock hold(mu_);
      stop_ = true;
    }
    wake_.signal();
  }
  void stop() EXCLUDES(mu_) {
    request_stop();
    worker_.join();
  }
  bool slept_through() EXCLUDES(mu_) {
    MutexLock hold(mu_);
    return slept_through_;
  }

 private:
  void loop() EXCLUDES(mu_) {
    gate_.wait_for(kBound);
    MutexLock hold(mu_);
    while (!stop_) {
      if (!wake_.wait_for(mu_, kBound)) {
        slept_through_ = true;
        return;
      }
    }
  }

  std::shared_future<void> gate_;
  Mutex mu_;
  CondVar wake_;
  bool stop_ GUARDED_BY(mu_) = false;
  bool slept_through_ GUARDED_BY(mu_) = false;
  Worker worker_;
};

TEST(CondVarTest, StopSetBeforeTheWaitIsNotSleptThrough) {
  std::promise<void> open;
  Sleeper sleeper(open.get_future().share());
  ASSERT_EQ(sleeper.start(), 0);
  const Clock::time_point started = Clock::now();
  // The stop and its signal come while the loop waits for its gate, not
  // for the condition: the signal wakes nobody, the flag must do.
  sleeper.request_stop();
  open.set_value();
  sleeper.stop();
  EXPECT_FALSE(sleeper.slept_through());
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(5));
}

TEST(CondVarTest, SignalWakesAWaiter) {
  Mutex mu;
  CondVar cond;
  bool ready = false;  // guarded by mu
  bool woken = false;
  Worker worker;
  ASSERT_EQ(worker.start([&] {
    MutexLock hold(mu);
    while (!ready) {
      if (!cond.wait_for(mu, kBound)) return;
    }
    woken = true;
  }),
            0);
  {
    MutexLock hold(mu);
    ready = true;
  }
  cond.signal();
  worker.join();
  EXPECT_TRUE(woken);
}

}  // namespace
}  // namespace quillo
