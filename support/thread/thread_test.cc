#include "support/thread/thread.h"

#include <errno.h>

#include <chrono>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Clock = std::chrono::steady_clock;

// A thread that sleeps in wait(seconds) until a stop is requested, and
// records the result of every wait.
class SleeperThread final : public Thread {
 public:
  explicit SleeperThread(unsigned seconds) : seconds_(seconds) {
    set_thread_function(&SleeperThread::Loop);
  }
  ~SleeperThread() override { stop_and_join(); }

  // Returns once the thread has entered wait() `count` times. The thread
  // counts each sleep with the mutex held and gives the mutex up only in
  // wait(), so seeing the count under the mutex means it is asleep.
  void AwaitSleeps(int count) {
    const auto limit = Clock::now() + std::chrono::seconds(10);
    for (;;) {
      lock();
      const bool reached = sleeps_ >= count;
      unlock();
      if (reached) return;
      ASSERT_LT(Clock::now(), limit) << "thread never slept " << count;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  std::vector<int> results() {
    lock();
    std::vector<int> copy = results_;
    unlock();
    return copy;
  }

 private:
  static void* Loop(void* self) {
    auto* thread = static_cast<SleeperThread*>(self);
    thread->lock();
    for (;;) {
      ++thread->sleeps_;
      const int result = thread->wait(thread->seconds_);
      thread->results_.push_back(result);
      if (thread->stop_requested()) break;
    }
    thread->unlock();
    return nullptr;
  }

  const unsigned seconds_;
  int sleeps_ = 0;            // guarded by the mutex
  std::vector<int> results_;  // guarded by the mutex
};

TEST(ThreadTest, WaitWithoutLimitReturnsOnlyAfterSignal) {
  SleeperThread thread(0);
  ASSERT_EQ(thread.start(), 0);
  thread.AwaitSleeps(1);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_THAT(thread.results(), IsEmpty());

  thread.lock();
  thread.signal();
  thread.unlock();
  thread.AwaitSleeps(2);
  EXPECT_THAT(thread.results(), ElementsAre(0));
}

TEST(ThreadTest, WaitWithLimitTimesOutWithoutSignal) {
  Thread thread;
  for (const unsigned seconds : {1u, 2u}) {
    SCOPED_TRACE(seconds);
    thread.lock();
    const auto started = Clock::now();
    const int result = thread.wait(seconds);
    const auto elapsed = Clock::now() - started;
    thread.unlock();
    EXPECT_EQ(result, ETIMEDOUT);
    // The deadline is rounded down to a whole second: up to one early.
    EXPECT_GE(elapsed, std::chrono::seconds(seconds - 1) -
                           std::chrono::milliseconds(50));
    EXPECT_LT(elapsed, std::chrono::seconds(seconds + 1));
  }
}

TEST(ThreadTest, DestroyingASleepingThreadReturnsPromptly) {
  const auto started = Clock::now();
  {
    SleeperThread thread(60);
    ASSERT_EQ(thread.start(), 0);
    thread.AwaitSleeps(1);
  }
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(5));
}

TEST(ThreadTest, RequestStopAloneDoesNotWakeASleeper) {
  SleeperThread thread(60);
  ASSERT_EQ(thread.start(), 0);
  thread.AwaitSleeps(1);
  thread.request_stop();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_THAT(thread.results(), IsEmpty());
  // The destructor's signal then ends it.
}

TEST(ThreadTest, StopRequestedBeforeWaitIsNotSleptThrough) {
  Thread thread;
  thread.request_stop();
  thread.lock();
  const auto started = Clock::now();
  EXPECT_EQ(thread.wait(60), 0);
  thread.unlock();
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(1));
}

TEST(ThreadTest, StartNeedsAFunctionAndRunsOnce) {
  Thread bare;
  EXPECT_EQ(bare.start(), EINVAL);  // destroyed below without a join

  SleeperThread never_started(60);  // likewise

  SleeperThread thread(60);
  ASSERT_EQ(thread.start(), 0);
  EXPECT_EQ(thread.start(), EINVAL);
  thread.AwaitSleeps(1);
  thread.lock();
  thread.signal();
  thread.unlock();
  thread.AwaitSleeps(2);
  EXPECT_THAT(thread.results(), ElementsAre(0));  // one loop, woken once
}

}  // namespace
