#include "support/thread/thread.h"

#include <errno.h>

#include <chrono>
#include <new>
#include <stdexcept>
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
      bool reached;
      {
        ThreadLock hold(*this);
        reached = sleeps_ >= count;
      }
      if (reached) return;
      ASSERT_LT(Clock::now(), limit) << "thread never slept " << count;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  std::vector<int> results() {
    ThreadLock hold(*this);
    return results_;
  }

 private:
  static void* Loop(void* self) {
    auto* thread = static_cast<SleeperThread*>(self);
    ThreadLock hold(*thread);
    for (;;) {
      ++thread->sleeps_;
      const int result = thread->wait(thread->seconds_);
      thread->results_.push_back(result);
      if (thread->stop_requested()) return nullptr;
    }
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

  {
    ThreadLock hold(thread);
    thread.signal();
  }
  thread.AwaitSleeps(2);
  EXPECT_THAT(thread.results(), ElementsAre(0));
}

TEST(ThreadTest, WaitWithLimitTimesOutWithoutSignal) {
  Thread thread;
  for (const unsigned seconds : {1u, 2u}) {
    SCOPED_TRACE(seconds);
    ThreadLock hold(thread);
    const auto started = Clock::now();
    const int result = thread.wait(seconds);
    const auto elapsed = Clock::now() - started;
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
  ThreadLock hold(thread);
  const auto started = Clock::now();
  EXPECT_EQ(thread.wait(60), 0);
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
  {
    ThreadLock hold(thread);
    thread.signal();
  }
  thread.AwaitSleeps(2);
  EXPECT_THAT(thread.results(), ElementsAre(0));  // one loop, woken once
}

TEST(ThreadTest, ScopesReleaseAndRetakeTheMutexOnException) {
  Thread thread;
  auto locked = [&thread] {
    const int rc = pthread_mutex_trylock(thread.native_mutex());
    if (rc == 0) pthread_mutex_unlock(thread.native_mutex());
    return rc == EBUSY;
  };
  try {
    ThreadLock hold(thread);
    try {
      ThreadUnlock release(thread);
      EXPECT_FALSE(locked());
      throw std::runtime_error("from the unlocked part");
    } catch (const std::runtime_error&) {
      EXPECT_TRUE(locked());  // taken back on the way out
    }
    throw std::bad_alloc();
  } catch (const std::bad_alloc&) {
  }
  EXPECT_FALSE(locked());
}

}  // namespace
