// The alert thread with short timings and a recording batch handler.

#include "alert/alert_thread.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "alert/alert_test_util.h"

namespace quillo {
namespace {

using quillo_test::Batch;
using quillo_test::kFast;
using quillo_test::Recorder;
using ::testing::ElementsAre;
using ::testing::Pair;

// Waits (bounded) until `count` reaches `value`; the thread updates the
// counts just after the handler returns.
bool await_count(const AlertThreadStats::Count& count, std::uint64_t value) {
  const auto limit =
      std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (count.load() < value) {
    if (std::chrono::steady_clock::now() > limit) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

TEST(AlertThreadTest, OneMatchGivesOneBatchAfterTheQuietPeriod) {
  Recorder recorder;
  AlertThread thread(kFast, recorder.handler({{"a@x"}, {"b@x", "c@x"}}));
  ASSERT_EQ(thread.start(), 0);
  thread.push_alert("watch1", "row1");
  const std::vector<Batch> batches = recorder.wait_for(1);
  ASSERT_EQ(batches.size(), 1u);
  EXPECT_EQ(batches[0].name, "watch1");
  EXPECT_THAT(batches[0].rows, ElementsAre("row1"));
  EXPECT_TRUE(await_count(thread.stats().mail_addresses_failed, 2));
  EXPECT_EQ(thread.stats().batches, 1u);
  EXPECT_EQ(thread.stats().mail_addresses_sent, 1u);
}

TEST(AlertThreadTest, BurstIsSplitAtTheBatchLimit) {
  Recorder recorder;
  AlertThread thread(kFast, recorder.handler());
  ASSERT_EQ(thread.start(), 0);
  for (int i = 0; i < 1500; ++i) {
    thread.push_alert("burst", "row" + std::to_string(i));
  }
  const std::vector<Batch> batches = recorder.wait_for(2);
  ASSERT_EQ(batches.size(), 2u);
  EXPECT_EQ(batches[0].rows.size(), 1024u);
  EXPECT_EQ(batches[0].rows.front(), "row0");
  EXPECT_EQ(batches[1].rows.size(), 476u);
  EXPECT_EQ(batches[1].rows.front(), "row1024");
  EXPECT_EQ(batches[1].rows.back(), "row1499");
}

TEST(AlertThreadTest, FiringGoesOutAtOnceAndItsHoldAsOneBatchAtItsEnd) {
  Recorder recorder;
  // An hour of quiet: only threshold batches can come within the test.
  AlertThread thread(AlertThread::Timing{3600, 3600, 1024}, recorder.handler(),
                     recorder.rate_handler(/*keep=*/1));
  ASSERT_EQ(thread.start(), 0);
  thread.push_alert("plain", "p1");
  const BatchSummary summary{"user", "bob", 200, 60, false};
  thread.push_fired(RateBatch{"mass", summary, {"r1", "r2"}});
  // The first try is kept (the notice settings were locked) and retried.
  std::vector<Batch> batches = recorder.wait_for(2);
  ASSERT_EQ(batches.size(), 2u);
  for (const Batch& batch : batches) {
    EXPECT_EQ(batch.name, "mass");
    EXPECT_THAT(batch.rows, ElementsAre("r1", "r2"));
    EXPECT_EQ(batch.summary, "user bob: 200 accesses in 60 s (2 listed)");
  }
  EXPECT_EQ(thread.stats().batches_kept, 1u);

  for (const char* row : {"h1", "h2", "h3"}) {
    thread.push_held("mass", summary, 1, row);
  }
  batches = recorder.wait_for(3);
  ASSERT_EQ(batches.size(), 3u);
  EXPECT_EQ(batches[2].name, "mass");
  EXPECT_THAT(batches[2].rows, ElementsAre("h1", "h2", "h3"));
  EXPECT_EQ(batches[2].summary,
            "user bob: 3 more accesses in the 60 s after the alert");
  // The next hold of the key makes a batch of its own.
  thread.push_held("mass", summary, 1, "h4");
  batches = recorder.wait_for(4);
  ASSERT_EQ(batches.size(), 4u);
  EXPECT_THAT(batches[3].rows, ElementsAre("h4"));
  EXPECT_EQ(thread.stats().batches, 4u);
}

TEST(AlertThreadTest, DestroyingAWaitingThreadReturns) {
  Recorder recorder;
  // With an hour-long wait, only the destructor's wake-up can end the
  // thread; if it did not, this test would hang.
  auto thread = std::make_unique<AlertThread>(
      AlertThread::Timing{3600, 60, 1024}, recorder.handler());
  ASSERT_EQ(thread->start(), 0);
  thread->push_alert("pending", "never mailed");
  thread.reset();
  EXPECT_TRUE(recorder.wait_for(0).empty());
}

TEST(AlertThreadTest, OldestRowsGoPastTheBoundAndKeptBatchesComeBack) {
  Recorder recorder;
  int calls = 0;
  // The first batch cannot go out (as with the settings locked).
  AlertThread thread(
      AlertTiming{1, 1, 1024, 3},
      [&](const std::string& name, const std::vector<std::string>& rows) {
        BatchOutcome outcome;
        outcome.kept = calls++ == 0;
        if (!outcome.kept) recorder.handler()(name, rows);
        return outcome;
      });
  for (const char* row : {"a1", "b1", "a2", "b2", "a3"}) {
    thread.push_alert(std::string(1, row[0]), row);
  }
  EXPECT_EQ(thread.stats().rows_dropped, 2u);  // a1 and b1, the oldest
  ASSERT_EQ(thread.start(), 0);
  std::vector<Batch> batches = recorder.wait_for(2);
  ASSERT_EQ(batches.size(), 2u);
  std::sort(batches.begin(), batches.end(),
            [](const Batch& x, const Batch& y) { return x.name < y.name; });
  EXPECT_THAT(batches[0].rows, ElementsAre("a2", "a3"));
  EXPECT_THAT(batches[1].rows, ElementsAre("b2"));
  EXPECT_EQ(thread.stats().batches_kept, 1u);
}

TEST(AlertClockTest, ConditionIsDueAfterItsQuietPeriodOrWithAWholeBatch) {
  const AlertTiming timing{60, 60, 3};
  const AlertClock::time_point t0{std::chrono::hours(1)};
  std::map<std::string, PendingAlert> pending;
  // Nothing waiting: sleep the longest wait.
  EXPECT_EQ(AlertThread::next_wake(pending, t0, timing),
            t0 + std::chrono::seconds(60));
  pending["late"].last_time = t0 - std::chrono::seconds(10);
  pending["late"].rows.push_back({0, "r"});
  pending["early"].last_time = t0 - std::chrono::seconds(45);
  pending["early"].rows.push_back({1, "r"});
  // The earliest quiet period to end wakes the thread: not a whole
  // wait later, and exactly on time.
  EXPECT_EQ(AlertThread::next_wake(pending, t0, timing),
            t0 + std::chrono::seconds(15));
  EXPECT_FALSE(AlertThread::is_due(pending["early"], t0, timing));
  EXPECT_TRUE(AlertThread::is_due(pending["early"],
                                  t0 + std::chrono::seconds(15), timing));
  // A whole batch is due at once.
  pending["late"].rows.push_back({2, "r"});
  pending["late"].rows.push_back({3, "r"});
  EXPECT_TRUE(AlertThread::is_due(pending["late"], t0, timing));
  EXPECT_EQ(AlertThread::next_wake(pending, t0, timing), t0);
}

TEST(AlertThreadTest, StopFinishesTheBatchUnderWayAndLeavesTheRestWaiting) {
  std::mutex mutex;
  std::condition_variable changed;
  bool entered = false;
  bool released = false;
  Recorder recorder;
  // Two rows make a batch, due at once; a single row waits an hour, so
  // nothing but a second row can send it during the test.
  AlertThread thread(
      AlertTiming{1, 3600, 2},
      [&](const std::string& name, const std::vector<std::string>& rows) {
        std::unique_lock<std::mutex> lock(mutex);
        entered = true;
        changed.notify_all();
        // Bounded: a thread that is never released fails, it does not hang.
        changed.wait_for(lock, std::chrono::seconds(30),
                         [&] { return released; });
        lock.unlock();
        return recorder.handler()(name, rows);
      });
  ASSERT_EQ(thread.start(), 0);
  thread.push_alert("w", "a1");
  thread.push_alert("w", "a2");
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(30),
                                 [&] { return entered; }));
  }
  thread.push_alert("w", "b1");  // while the batch is under way
  std::thread stopper([&] { thread.stop(); });
  {
    std::lock_guard<std::mutex> lock(mutex);
    released = true;
  }
  changed.notify_all();
  stopper.join();  // returns only once the batch under way is done
  EXPECT_EQ(thread.stats().batches, 1u);
  std::vector<Batch> batches = recorder.wait_for(1);
  ASSERT_EQ(batches.size(), 1u);
  EXPECT_THAT(batches[0].rows, ElementsAre("a1", "a2"));
  // The row left waiting is still there when the thread runs again.
  ASSERT_EQ(thread.start(), 0);
  thread.push_alert("w", "b2");
  batches = recorder.wait_for(2);
  ASSERT_EQ(batches.size(), 2u);
  EXPECT_THAT(batches[1].rows, ElementsAre("b1", "b2"));
}

TEST(AlertThreadTest, NeverStartedThreadIsDestroyedWithoutJoin) {
  Recorder recorder;
  AlertThread thread(kFast, recorder.handler());
  thread.push_alert("x", "y");
}

}  // namespace
}  // namespace quillo
