#include "logstore/file_name.h"

#include <time.h>

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "logstore/log_test_util.h"

namespace quillo {
namespace {

struct NameCase {
  const char* name;
  LogKind kind;
  bool ours;
};

class LogFileNameTest : public ::testing::TestWithParam<NameCase> {};

// Only what log_file_name() could have made is the tree's: writer,
// auto-delete and reader all leave anything else alone.
TEST_P(LogFileNameTest, AcceptsExactlyTheMakersNames) {
  RowTimeFields stamp;
  EXPECT_EQ(parse_log_file_name(GetParam().name, GetParam().kind, &stamp),
            GetParam().ours);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LogFileNameTest,
    ::testing::Values(
        NameCase{"system_20261207093015.csv", LogKind::kSystem, true},
        NameCase{"access_20261207093015.csv", LogKind::kAccess, true},
        NameCase{"alert_20240229235960.csv", LogKind::kAlert, true},
        NameCase{"access_20261207093015.csv", LogKind::kSystem, false},
        NameCase{"system_2026120709301.csv", LogKind::kSystem, false},
        NameCase{"system_202612070930151.csv", LogKind::kSystem, false},
        NameCase{"system_20261207093015.csv.bak", LogKind::kSystem, false},
        NameCase{"system_20261207093015_old.csv", LogKind::kSystem, false},
        NameCase{"system_x20261207093015.csv", LogKind::kSystem, false},
        NameCase{"system_20261232093015.csv", LogKind::kSystem, false},
        NameCase{"system_20251131093015.csv", LogKind::kSystem, false},
        NameCase{"system_20250229000000.csv", LogKind::kSystem, false},
        NameCase{"system_20261207243015.csv", LogKind::kSystem, false},
        NameCase{"system_09991207093015.csv", LogKind::kSystem, false},
        NameCase{"system_2026-12-07093.csv", LogKind::kSystem, false},
        NameCase{"", LogKind::kSystem, false}));

struct FolderCase {
  const char* name;
  bool ours;
};

class MonthFolderNameTest : public ::testing::TestWithParam<FolderCase> {};

TEST_P(MonthFolderNameTest, AcceptsSixDigitsOfAMonth) {
  std::int64_t year = 0;
  int month = 0;
  EXPECT_EQ(parse_month_folder_name(GetParam().name, &year, &month),
            GetParam().ours);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MonthFolderNameTest,
    ::testing::Values(FolderCase{"202612", true}, FolderCase{"202601", true},
                      FolderCase{"202613", false}, FolderCase{"202600", false},
                      FolderCase{"20261", false}, FolderCase{"2026123", false},
                      FolderCase{"x202601", false},
                      FolderCase{"202601_old", false},
                      FolderCase{"099912", false}));

// What the maker writes the parser reads back as the local time it was
// made from, on both sides of a clock change.
TEST(LogFileNameTest, RoundTripsTheLocalTime) {
  logtest::ScopedTimeZone zone("Europe/Berlin");
  for (const std::int64_t t :
       {std::int64_t{1782900000}, std::int64_t{1798757999},
        std::int64_t{1792540800}, std::int64_t{1792544400}}) {
    const time_t when = static_cast<time_t>(t);
    struct tm f {};
    ASSERT_NE(localtime_r(&when, &f), nullptr);
    RowTimeFields stamp;
    ASSERT_TRUE(parse_log_file_name(log_file_name(LogKind::kAccess, t),
                                    LogKind::kAccess, &stamp));
    EXPECT_EQ(stamp.year, f.tm_year + 1900);
    EXPECT_EQ(stamp.month, f.tm_mon + 1);
    EXPECT_EQ(stamp.day, f.tm_mday);
    EXPECT_EQ(stamp.hour, f.tm_hour);
    EXPECT_EQ(stamp.minute, f.tm_min);
    EXPECT_EQ(stamp.second, f.tm_sec);
    std::int64_t year = 0;
    int month = 0;
    ASSERT_TRUE(parse_month_folder_name(month_folder_name(t), &year, &month));
    EXPECT_EQ(year, f.tm_year + 1900);
    EXPECT_EQ(month, f.tm_mon + 1);
  }
}

}  // namespace
}  // namespace quillo
