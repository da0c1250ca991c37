#include "alert/rate_counter.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace quillo {
namespace {

using ::testing::ElementsAre;

Threshold Within(int count, int seconds) {
  return Threshold{count, seconds, RatePer::kUser};
}

// Two rows of one key, `age` seconds apart, with count 2: whether the
// first is still counted when the second comes, for first rows at every
// offset within a bucket.
class WindowTest : public ::testing::TestWithParam<int> {};

TEST_P(WindowTest, CountsEveryRowOfTheWindowAndNoneFarOlder) {
  const int seconds = GetParam();
  const RateCounter probe(Within(2, seconds));
  const std::int64_t w = probe.bucket_seconds();
  const std::int64_t reach = probe.buckets_summed() * w;  // never counted
  EXPECT_LE(probe.buckets_summed(), RateCounter::kMaxBuckets + 1);
  EXPECT_GE(reach, seconds + 1);  // a row `seconds` old is in
  EXPECT_LT(reach - seconds, 2 * w + 1);
  const std::int64_t step = std::max<std::int64_t>(1, w / 4);
  for (std::int64_t offset = 0; offset < w; offset += step) {
    const std::int64_t t0 = 1'800'000'000 - 1'800'000'000 % w + offset;
    for (const std::int64_t age :
         {std::int64_t{0}, std::int64_t{seconds}, reach, reach + 1}) {
      RateCounter counter(Within(2, seconds));
      EXPECT_EQ(counter.add("bob", t0, "a").what, RateOutcome::kCounted);
      const RateOutcome second = counter.add("bob", t0 + age, "b");
      const bool counted = second.what == RateOutcome::kFired;
      // Counted while both are within the summed buckets; so always at
      // `seconds` and never from `reach` on.
      EXPECT_EQ(counted, age < reach - offset)
          << "seconds " << seconds << " offset " << offset << " age " << age;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seconds, WindowTest,
                         ::testing::Values(1, 5, 16, 17, 60, 3600, 86400));

TEST(RateCounterTest, FiresAtTheCountThenHoldsThenCountsAfresh) {
  RateCounter counter(Within(3, 60));
  EXPECT_EQ(counter.add("bob", 1000, "r1").what, RateOutcome::kCounted);
  EXPECT_EQ(counter.add("amy", 1001, "x").what, RateOutcome::kCounted);
  EXPECT_EQ(counter.add("bob", 1002, "r2").what, RateOutcome::kCounted);
  const RateOutcome fired = counter.add("bob", 1010, "r3");
  ASSERT_EQ(fired.what, RateOutcome::kFired);
  EXPECT_EQ(fired.key, "bob");
  EXPECT_EQ(fired.count, 3u);
  EXPECT_THAT(fired.rows, ElementsAre("r1", "r2", "r3"));

  const RateOutcome held = counter.add("bob", 1030, "h");
  EXPECT_EQ(held.what, RateOutcome::kHeld);
  EXPECT_EQ(held.hold_left, 40);
  // After the hold, three more rows fire again: nothing of before counts.
  EXPECT_EQ(counter.add("bob", 1070, "s1").what, RateOutcome::kCounted);
  EXPECT_EQ(counter.add("bob", 1071, "s2").what, RateOutcome::kCounted);
  EXPECT_EQ(counter.add("bob", 1072, "s3").what, RateOutcome::kFired);
  // A clock set back before the firing ends the hold.
  EXPECT_EQ(counter.add("bob", 900, "back").what, RateOutcome::kCounted);
}

TEST(RateCounterTest, BatchListsTheNewestRowsButCountsAll) {
  RateCounter counter(Within(1500, 60));
  RateOutcome last;
  for (int i = 0; i < 1500; ++i) {
    last = counter.add("bob", 5000, "row" + std::to_string(i));
  }
  ASSERT_EQ(last.what, RateOutcome::kFired);
  EXPECT_EQ(last.count, 1500u);
  ASSERT_EQ(last.rows.size(), RateCounter::kBatchLimit);
  EXPECT_EQ(last.rows.front(), "row476");
  EXPECT_EQ(last.rows.back(), "row1499");
  EXPECT_EQ(counter.kept_row_bytes(), 0u);
}

TEST(RateCounterTest, KeysAndKeptRowsStayWithinTheirBounds) {
  RateCounter counter(Within(1000, 3600));
  const std::string big(8000, 'x');
  for (std::size_t i = 0; i < RateCounter::kMaxKeys + 5; ++i) {
    counter.add("user" + std::to_string(i), 7000, big);
    ASSERT_LE(counter.kept_row_bytes(), RateCounter::kRowBudgetBytes);
  }
  EXPECT_EQ(counter.key_count(), RateCounter::kMaxKeys);
  EXPECT_EQ(counter.evicted(), 5u);
  // The least recently seen goes: user5 was touched, user6 was not.
  counter.add("user5", 7001, "a");
  counter.add("new", 7001, "a");
  EXPECT_EQ(counter.evicted(), 6u);
  for (int i = 0; i < 997; ++i) {
    ASSERT_EQ(counter.add("user5", 7002, "b").what, RateOutcome::kCounted);
  }
  EXPECT_EQ(counter.add("user5", 7003, "c").what, RateOutcome::kFired);
  // A key is cut, not kept whole.
  const RateOutcome cut = counter.add(std::string(1000, 'k'), 7004, "r");
  EXPECT_EQ(cut.key.size(), RateCounter::kMaxKeyBytes);
}

}  // namespace
}  // namespace quillo
