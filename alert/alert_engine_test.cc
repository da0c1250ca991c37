// The alert check on a private configuration, with a recording writer and
// the alert thread's recording batch handler.

#include "alert/alert_engine.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "alert/alert_test_util.h"
#include "alert/alert_thread.h"
#include "config/config_test_util.h"
#include "config/config_xml.h"
#include "logstore/log_test_util.h"

namespace quillo {
namespace {

using quillo_test::Batch;
using quillo_test::kFast;
using quillo_test::Recorder;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// 2026-12-07 09:30:15 UTC
constexpr std::int64_t kNow = 1796635815;

// A condition that matches `operation` by any user at any time, with
// `extra` elements inside it.
std::string MatchAll(const std::string& name,
                     const std::string& operation = "open_read",
                     const std::string& extra = "") {
  return "<alert><name>" + name +
         "</name><usernamelist all=\"true\"/>"
         "<period><weekdays sun=\"true\" mon=\"true\" tue=\"true\" "
         "wed=\"true\" thu=\"true\" fri=\"true\" sat=\"true\"/></period>"
         "<operationlist><operation type=\"" +
         operation + "\" enable=\"true\"/></operationlist>" + extra +
         "</alert>";
}

LogRow Access(const std::string& operation = "open_read",
              const std::string& result = "ok") {
  return LogRow{LogKind::kAccess,
                kNow - 5,
                {"u", "h", "i", operation, result, "s", "p,with comma"}};
}

class AlertEngineTest : public ::testing::Test {
 protected:
  void Configure(const std::string& alerts) {
    tree_.Write("<config><alertlist>" + alerts + "</alertlist></config>");
    config_.load();
  }

  void Check(const LogRow& row = Access()) {
    engine_.check(config_, row, kNow);
  }

  static std::vector<Batch> ByName(std::vector<Batch> batches) {
    std::sort(batches.begin(), batches.end(),
              [](const Batch& a, const Batch& b) { return a.name < b.name; });
    return batches;
  }

  logtest::ScopedTimeZone zone_{"UTC"};
  TempConfig tree_;
  ConfigXml config_{tree_.path()};
  Recorder recorder_;
  AlertThread thread_{kFast, recorder_.handler()};
  std::vector<LogRow> written_;  // what the writer was given
  bool write_ok_ = true;
  int reads_ = 0;  // condition reads
  AlertEngine engine_{thread_,
                      [this](const LogRow& row, std::size_t copies) {
                        written_.insert(written_.end(), copies, row);
                        return write_ok_ ? copies : 0;
                      },
                      [this](const ConfigXml& config) {
                        ++reads_;
                        return read_alert_conditions(config);
                      }};
};

TEST_F(AlertEngineTest, AccessMatchingTwoConditionsGivesTwoRowsAndTwoBatches) {
  Configure(MatchAll("first") + MatchAll("second"));
  ASSERT_EQ(thread_.start(), 0);
  Check();
  ASSERT_EQ(written_.size(), 2u);
  for (const LogRow& row : written_) {
    // The access row as it was, with kind alert and the check's time.
    EXPECT_EQ(row.kind, LogKind::kAlert);
    EXPECT_EQ(row.time, kNow);
    EXPECT_THAT(row.columns, ElementsAre("u", "h", "i", "open_read", "ok", "s",
                                         "p,with comma"));
  }
  const std::vector<Batch> batches = ByName(recorder_.wait_for(2));
  ASSERT_EQ(batches.size(), 2u);
  EXPECT_EQ(batches[0].name, "first");
  EXPECT_EQ(batches[1].name, "second");
  EXPECT_THAT(batches[1].rows,
              ElementsAre("2026/12/07 09:30:15,u,h,i,open_read,ok,s,"
                          "p,with comma"));
  EXPECT_EQ(engine_.stats().matches, 2u);
  EXPECT_EQ(engine_.stats().rows_written, 2u);
  EXPECT_EQ(engine_.stats().write_failures, 0u);
}

TEST_F(AlertEngineTest, UnwrittenRowIsCountedAsFailureAndStillNotified) {
  Configure(MatchAll("x"));
  write_ok_ = false;
  ASSERT_EQ(thread_.start(), 0);
  Check();
  EXPECT_EQ(engine_.stats().matches, 1u);
  EXPECT_EQ(engine_.stats().rows_written, 0u);
  EXPECT_EQ(engine_.stats().write_failures, 1u);
  EXPECT_EQ(recorder_.wait_for(1).size(), 1u);
}

TEST_F(AlertEngineTest, RenamedConditionKeepsWaitingRowsUnderTheOldName) {
  Configure(MatchAll("old"));
  Check(LogRow{LogKind::kAccess,
               kNow,
               {"u", "h", "i", "open_read", "ok", "s", "before"}});
  Configure(MatchAll("new"));
  Check(LogRow{LogKind::kAccess,
               kNow,
               {"u", "h", "i", "open_read", "ok", "s", "after"}});
  ASSERT_EQ(thread_.start(), 0);
  const std::vector<Batch> batches = ByName(recorder_.wait_for(2));
  ASSERT_EQ(batches.size(), 2u);
  EXPECT_EQ(batches[0].name, "new");
  EXPECT_THAT(batches[0].rows,
              ElementsAre("2026/12/07 09:30:15,u,h,i,open_read,ok,s,after"));
  EXPECT_EQ(batches[1].name, "old");
  EXPECT_THAT(batches[1].rows,
              ElementsAre("2026/12/07 09:30:15,u,h,i,open_read,ok,s,before"));
}

TEST_F(AlertEngineTest, NoMatchWritesNothing) {
  Configure(MatchAll("x"));
  Check(Access("open_write"));
  EXPECT_THAT(written_, IsEmpty());
  EXPECT_EQ(engine_.stats().matches, 0u);
}

TEST_F(AlertEngineTest, ResultIsMatchedByItsWord) {
  Configure(MatchAll("fails", "open_read", "<result>FAIL</result>"));
  Check(Access("open_read", "ok"));
  EXPECT_THAT(written_, IsEmpty());
  Check(Access("open_read", "fail (Permission denied)"));
  ASSERT_EQ(written_.size(), 1u);
  EXPECT_EQ(written_[0].columns[kResult], "fail (Permission denied)");
}

TEST_F(AlertEngineTest, WriterErrorStopsTheCheckUncounted) {
  AlertEngine engine(thread_, [](const LogRow&, std::size_t) -> std::size_t {
    throw std::runtime_error("no log root");
  });
  Configure(MatchAll("x"));
  EXPECT_THROW(engine.check(config_, Access(), kNow), std::runtime_error);
  EXPECT_EQ(engine.stats().matches, 0u);
  EXPECT_EQ(engine.state(0).matches, 0u);
}

TEST_F(AlertEngineTest, DocumentWithoutConditionsIsReadOncePerLoad) {
  Configure("");
  Check();
  Check();
  Check();
  EXPECT_EQ(reads_, 1);
  EXPECT_EQ(engine_.condition_count(), 0u);
  Configure(MatchAll("x"));
  Check();
  Check();
  EXPECT_EQ(reads_, 2);
  EXPECT_EQ(written_.size(), 2u);
}

TEST_F(AlertEngineTest, FailedLoadLeavesNoConditions) {
  Configure(MatchAll("x"));
  Check();
  ASSERT_EQ(engine_.condition_count(), 1u);
  tree_.Write("<config>");
  EXPECT_THROW(config_.load(), Corvel::CXMLError);
  Check();
  EXPECT_EQ(engine_.condition_count(), 0u);
  EXPECT_EQ(written_.size(), 1u);
}

TEST_F(AlertEngineTest, UnchangedConditionKeepsItsStateAcrossReloads) {
  Configure(MatchAll("kept") + MatchAll("changed") + MatchAll("removed"));
  Check();
  Check();
  ASSERT_EQ(engine_.condition_count(), 3u);
  const ConditionState* kept = &engine_.state(0);
  EXPECT_EQ(kept->matches, 2u);
  // Reordered, one field changed, one removed, one added.
  Configure(MatchAll("added") +
            MatchAll("changed", "open_read", "<hostname>h*</hostname>") +
            MatchAll("kept"));
  Check(Access("open_write"));  // reloads, matches nothing
  ASSERT_EQ(engine_.condition_count(), 3u);
  EXPECT_EQ(engine_.condition(0).name, "added");
  EXPECT_EQ(engine_.state(0).matches, 0u);
  EXPECT_EQ(engine_.condition(1).name, "changed");
  EXPECT_EQ(engine_.state(1).matches, 0u);
  EXPECT_EQ(engine_.condition(2).name, "kept");
  EXPECT_EQ(&engine_.state(2), kept);  // the same object, handed on
  EXPECT_EQ(engine_.state(2).matches, 2u);
  // A removed condition's state is gone: back under its name, it starts
  // afresh.
  Configure(MatchAll("removed"));
  Check();
  ASSERT_EQ(engine_.condition_count(), 1u);
  EXPECT_EQ(engine_.state(0).matches, 1u);
}

TEST_F(AlertEngineTest, TwinConditionsEachKeepOneState) {
  Configure(MatchAll("twin") + MatchAll("twin"));
  Check();
  Configure(MatchAll("twin") + MatchAll("twin") + MatchAll("twin"));
  Check();
  ASSERT_EQ(engine_.condition_count(), 3u);
  EXPECT_EQ(engine_.state(0).matches, 2u);
  EXPECT_EQ(engine_.state(1).matches, 2u);
  EXPECT_EQ(engine_.state(2).matches, 1u);
  EXPECT_NE(&engine_.state(0), &engine_.state(1));
}

}  // namespace
}  // namespace quillo
