// The limit on a repeated console message, on a clock the test moves.

#include "daemon/message_limit.h"

#include <chrono>
#include <string>

#include <gtest/gtest.h>

namespace quillo {
namespace {

using Clock = MessageLimit::Clock;
using std::chrono::seconds;

const std::string kText = "No data request!! Ignore.\n";
const Clock::time_point kStart = Clock::time_point() + std::chrono::hours(1);

TEST(MessageLimitTest, FloodGivesAFewLinesThenOneSummaryAfterTheMinute) {
  MessageLimit limit(kText);
  std::string printed;
  for (int i = 0; i < 1000; ++i) {
    printed += limit.occur(kStart + std::chrono::milliseconds(50 * i));
  }
  EXPECT_EQ(printed, kText + kText + kText + kText + kText);
  EXPECT_EQ(limit.deadline(), kStart + seconds(60));
  EXPECT_EQ(limit.flush(kStart + seconds(59)), "");
  EXPECT_EQ(limit.flush(kStart + seconds(60)),
            "No data request!! Ignore. ... 995 more in the last minute\n");
  EXPECT_EQ(limit.flush(kStart + seconds(61)), "");
  EXPECT_EQ(limit.deadline(), Clock::time_point::max());
  // A new minute lets the message through again.
  EXPECT_EQ(limit.occur(kStart + seconds(61)), kText);
}

TEST(MessageLimitTest, NextOccurrenceAfterTheMinuteBringsTheSummaryFirst) {
  MessageLimit limit(kText);
  for (int i = 0; i < 7; ++i) limit.occur(kStart);
  EXPECT_EQ(
      limit.occur(kStart + seconds(90)),
      "No data request!! Ignore. ... 2 more in the last minute\n" + kText);
}

TEST(MessageLimitTest, MessageAFewTimesAMinuteIsNeverHeldBack) {
  MessageLimit limit(kText);
  for (int i = 0; i < 100; ++i) {
    EXPECT_EQ(limit.occur(kStart + seconds(13 * i)), kText) << i;
  }
  EXPECT_EQ(limit.deadline(), Clock::time_point::max());
}

}  // namespace
}  // namespace quillo
