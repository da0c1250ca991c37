// The alert thread with short timings and a recording batch handler, and
// the alert check on a private configuration.

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

#include "config/config_test_util.h"
#include "config/config_xml.h"
#include "logstore/log_test_util.h"

namespace {

using ::testing::ElementsAre;
using ::testing::Pair;

struct Batch {
  std::string name;
  std::vector<std::string> rows;
};

// Records the batches the thread hands out; waits (bounded) for them.
class Recorder {
 public:
  // Each batch answers as if its mail went out to `mail`.
  AlertThread::BatchHandler handler(MailOutcome mail = {}) {
    return [this, mail](const std::string& name,
                        const std::vector<std::string>& rows) {
      std::lock_guard<std::mutex> lock(mutex_);
      batches_.push_back(Batch{name, rows});
      changed_.notify_all();
      return BatchOutcome{false, mail};
    };
  }

  // The first `n` batches, or fewer if they did not come within the bound.
  std::vector<Batch> wait_for(std::size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(30),
                      [&] { return batches_.size() >= n; });
    return batches_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Batch> batches_;
};

constexpr AlertThread::Timing kFast{1, 2, 1024};

// Waits (bounded) until `count` reaches `value`; the thread updates the
// counts just after the handler returns.
bool await_count(const AlertStats::Count& count, std::uint64_t value) {
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

TEST(AlertThreadTest, NeverStartedThreadIsDestroyedWithoutJoin) {
  Recorder recorder;
  AlertThread thread(kFast, recorder.handler());
  thread.push_alert("x", "y");
}

std::string joined(const std::vector<MailPart>& parts) {
  std::string text;
  for (const MailPart& part : parts) text += part.text;
  return text;
}

TEST(AlertMailTest, SubjectAndBody) {
  EXPECT_EQ(alert_mail_subject("watch1"),
            "\xE3\x82\xAF\xE3\x82\xA4\xE3\x83\xAD \xE3\x82\xA2\xE3\x83\xA9"
            "\xE3\x83\xBC\xE3\x83\x88 - \xE6\x9D\xA1\xE4\xBB\xB6\xE5\x90\x8D:"
            "watch1");
  EXPECT_EQ(
      joined(alert_mail_body("watch1", {"r1", "r2", "r3"})),
      "\xE3\x82\xA2\xE3\x83\xA9\xE3\x83\xBC\xE3\x83\x88\xE6\x9D\xA1"
      "\xE4\xBB\xB6 watch1: \xE3\x82\xA2\xE3\x82\xAF\xE3\x82\xBB\xE3\x82"
      "\xB9\xE3\x82\x92"
      "3\xE4\xBB\xB6\xE6\xA4\x9C\xE5\x87\xBA\xE3\x81"
      "\x97\xE3\x81\xBE\xE3\x81\x97\xE3\x81\x9F\xE3\x80\x82\n\nr1\nr2\nr3\n");
}

// Conditions that match any access at any time.
std::string MatchAll(const std::string& name) {
  return "<alert><name>" + name +
         "</name><usernamelist all=\"true\"/>"
         "<period><weekdays sun=\"true\" mon=\"true\" tue=\"true\" "
         "wed=\"true\" thu=\"true\" fri=\"true\" sat=\"true\"/></period>"
         "<operationlist><operation type=\"open_read\" enable=\"true\"/>"
         "</operationlist></alert>";
}

class AlertCheckTest : public ::testing::Test {
 protected:
  void Configure(const std::string& alerts) {
    tree_.Write("<config><share><path>" + log_root_ +
                "</path></share>"
                "<alertlist>" +
                alerts + "</alertlist></config>");
    config_.load();
  }

  // An access by `user` at 2026-12-07 09:30:15 UTC.
  void Check(const std::string& user) {
    check_alert(store_, Row(user, "open_read"), "ok", config_, thread_);
  }
  static quillo::LogRow Row(const std::string& user, const std::string& op) {
    return {quillo::LogKind::kAccess,
            1796635815,
            {user, "h", "i", op, "ok", "s", "p"}};
  }

  logtest::ScopedTimeZone zone_{"UTC"};
  TempConfig tree_;
  std::string log_root_ = tree_.tree().dir("logs");
  std::string state_dir_ = tree_.tree().dir("state");
  quillo::LogStore store_{state_dir_};
  ConfigXml config_{tree_.path()};
  Recorder recorder_;
  AlertThread thread_{kFast, recorder_.handler()};
};

TEST_F(AlertCheckTest, AccessMatchingTwoConditionsGivesTwoLinesAndTwoBatches) {
  Configure(MatchAll("first") + MatchAll("second"));
  ASSERT_EQ(thread_.start(), 0);
  Check("the,user");
  const std::string line = "2026/12/07 09:30:15,the,user,h,i,open_read,ok,s,p";
  EXPECT_EQ(logtest::read_file(log_root_ +
                               "/alertlog/202612/alert_20261207093015.csv"),
            "\xEF\xBB\xBF" + line + "\r\n" + line + "\r\n");
  std::vector<Batch> batches = recorder_.wait_for(2);
  ASSERT_EQ(batches.size(), 2u);
  std::sort(batches.begin(), batches.end(),
            [](const Batch& a, const Batch& b) { return a.name < b.name; });
  EXPECT_EQ(batches[0].name, "first");
  EXPECT_EQ(batches[1].name, "second");
  EXPECT_THAT(batches[1].rows, ElementsAre(line));
  EXPECT_EQ(thread_.stats().matches, 2u);
  EXPECT_EQ(thread_.stats().rows_written, 2u);
  EXPECT_EQ(thread_.stats().write_failures, 0u);
}

TEST_F(AlertCheckTest, RenamedConditionKeepsWaitingRowsUnderTheOldName) {
  Configure(MatchAll("old"));
  Check("before");
  Configure(MatchAll("new"));
  Check("after");
  ASSERT_EQ(thread_.start(), 0);
  std::vector<Batch> batches = recorder_.wait_for(2);
  ASSERT_EQ(batches.size(), 2u);
  std::sort(batches.begin(), batches.end(),
            [](const Batch& a, const Batch& b) { return a.name < b.name; });
  EXPECT_EQ(batches[0].name, "new");
  EXPECT_THAT(batches[0].rows,
              ElementsAre("2026/12/07 09:30:15,after,h,i,open_read,ok,s,p"));
  EXPECT_EQ(batches[1].name, "old");
  EXPECT_THAT(batches[1].rows,
              ElementsAre("2026/12/07 09:30:15,before,h,i,open_read,ok,s,p"));
}

TEST_F(AlertCheckTest, NoMatchWritesNothing) {
  Configure(MatchAll("x"));
  check_alert(store_, Row("u", "open_write"), "ok", config_, thread_);
  EXPECT_EQ(logtest::file_mode(log_root_ + "/alertlog"), -1);
}

}  // namespace
