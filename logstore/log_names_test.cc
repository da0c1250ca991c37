#include "logstore/log_names.h"

#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "logstore/log_test_util.h"

namespace {

using logtest::ScopedTimeZone;
using logtest::TempDir;

struct FormatCase {
  const char* zone;
  int64_t t;
  const char* log_time;
  const char* stamp;
  const char* month;
};

class FormatTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatTest, FormatsLocalTime) {
  const FormatCase& c = GetParam();
  ScopedTimeZone zone(c.zone);
  EXPECT_EQ(format_log_time(c.t), c.log_time);
  EXPECT_EQ(format_file_stamp(c.t), c.stamp);
  EXPECT_EQ(format_month_dir(c.t), c.month);
}

INSTANTIATE_TEST_SUITE_P(
    Zones, FormatTest,
    ::testing::Values(
        FormatCase{"UTC", 0, "1970/01/01 00:00:00", "19700101000000", "197001"},
        // Year boundary reached through the zone offset (UTC+1 in winter).
        FormatCase{"Europe/Berlin", 1798757999, "2026/12/31 23:59:59",
                   "20261231235959", "202612"},
        FormatCase{"Europe/Berlin", 1798758000, "2027/01/01 00:00:00",
                   "20270101000000", "202701"},
        // Summer time: UTC+2.
        FormatCase{"Europe/Berlin", 1782900000, "2026/07/01 12:00:00",
                   "20260701120000", "202607"},
        // The second before and the second of the spring-forward jump.
        FormatCase{"America/New_York", 1772953199, "2026/03/08 01:59:59",
                   "20260308015959", "202603"},
        FormatCase{"America/New_York", 1772953200, "2026/03/08 03:00:00",
                   "20260308030000", "202603"},
        // Before the epoch.
        FormatCase{"America/New_York", -1, "1969/12/31 18:59:59",
                   "19691231185959", "196912"},
        // The year has no leading zeros.
        FormatCase{"UTC", -30636384833, "999/03/04 05:06:07", "9990304050607",
                   "99903"}));

struct JoinCase {
  const char* a;
  const char* b;
  const char* joined;
};

class JoinPathTest : public ::testing::TestWithParam<JoinCase> {};

TEST_P(JoinPathTest, Joins) {
  EXPECT_EQ(join_path(GetParam().a, GetParam().b), GetParam().joined);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JoinPathTest,
    ::testing::Values(JoinCase{"", "x", "/x"}, JoinCase{"/a/", "x", "/a/x"},
                      JoinCase{"/a", "x", "/a/x"}, JoinCase{"/a", "/x", "/x"},
                      JoinCase{"/a/", "/x", "/x"}, JoinCase{"a", "", "a/"},
                      JoinCase{"/", "x", "/x"}));

struct StampCase {
  const char* name;
  const char* prefix;
  const char* stamp;
};

class ExtractStampTest : public ::testing::TestWithParam<StampCase> {};

TEST_P(ExtractStampTest, FindsStamp) {
  EXPECT_EQ(extract_stamp(GetParam().name, GetParam().prefix),
            GetParam().stamp);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExtractStampTest,
    ::testing::Values(
        StampCase{"system_20261207093015.csv", "system_", "20261207093015"},
        StampCase{"202612", "system_", "202612"},
        StampCase{"system_2026120709301.csv", "system_", ""},  // 13
        StampCase{"system_.csv", "system_", ""},               // none
        StampCase{"system_", "system_", ""},                   // empty rest
        StampCase{"", "system_", ""},
        StampCase{"system_202612070930151.csv", "system_",
                  "202612070930151"},                    // 15
        StampCase{"2026", "access_", ""},                // 4
        StampCase{"20261207", "access_", ""},            // 8
        StampCase{"system_2026-12.csv", "system_", ""},  // first run
        // A name without the prefix is searched from its start.
        StampCase{"access_20261207093015.csv", "system_", "20261207093015"},
        // Digits inside the prefix are not part of the stamp.
        StampCase{"log2_202612.csv", "log2_", "202612"},
        StampCase{"log2_202612.csv", "other", ""}));

TEST(StampToTimeTest, FourteenDigitsGiveEveryField) {
  const struct tm f = stamp_to_time("20261207093015");
  EXPECT_EQ(f.tm_year, 126);
  EXPECT_EQ(f.tm_mon, 11);
  EXPECT_EQ(f.tm_mday, 7);
  EXPECT_EQ(f.tm_hour, 9);
  EXPECT_EQ(f.tm_min, 30);
  EXPECT_EQ(f.tm_sec, 15);
  EXPECT_EQ(f.tm_wday, 0);
  EXPECT_EQ(f.tm_yday, 0);
  EXPECT_EQ(f.tm_isdst, -1);
}

TEST(StampToTimeTest, SixDigitsGiveFirstOfMonthAtMidnight) {
  const struct tm f = stamp_to_time("202701");
  EXPECT_EQ(f.tm_year, 127);
  EXPECT_EQ(f.tm_mon, 0);
  EXPECT_EQ(f.tm_mday, 1);
  EXPECT_EQ(f.tm_hour, 0);
  EXPECT_EQ(f.tm_min, 0);
  EXPECT_EQ(f.tm_sec, 0);
}

TEST(StampToTimeTest, IgnoresDigitsBeyondFourteenAndDoesNotNormalise) {
  const struct tm f = stamp_to_time("20261399886177999");
  EXPECT_EQ(f.tm_year, 126);
  EXPECT_EQ(f.tm_mon, 12);
  EXPECT_EQ(f.tm_mday, 99);
  EXPECT_EQ(f.tm_hour, 88);
  EXPECT_EQ(f.tm_min, 61);
  EXPECT_EQ(f.tm_sec, 77);
}

TEST(StampToTimeTest, ShortInputDoesNotReadPastTheEnd) {
  const struct tm f = stamp_to_time("20");
  EXPECT_EQ(f.tm_year, 2000 - 1900);
  EXPECT_EQ(f.tm_mon, -1);
  EXPECT_EQ(f.tm_mday, 1);
}

TEST(StampToTimeTest, RoundTripsThroughMktimeInDaylightSavingZone) {
  ScopedTimeZone zone("Europe/Berlin");
  for (const int64_t t : {int64_t{1782900000}, int64_t{1798757999}}) {
    struct tm f = stamp_to_time(format_file_stamp(t));
    EXPECT_EQ(static_cast<int64_t>(mktime(&f)), t);
  }
}

TEST(FileStatusTest, TellsEntriesAndDirectoriesApart) {
  TempDir tmp;
  const std::string file = tmp.path() + "/f";
  const std::string dangling = tmp.path() + "/link";
  ASSERT_TRUE(logtest::write_file(file, "x"));
  ASSERT_EQ(symlink("nowhere", dangling.c_str()), 0);

  EXPECT_TRUE(file_exists(tmp.path()));
  EXPECT_TRUE(is_directory(tmp.path()));
  EXPECT_TRUE(file_exists(file));
  EXPECT_FALSE(is_directory(file));
  EXPECT_FALSE(file_exists(tmp.path() + "/missing"));
  EXPECT_FALSE(is_directory(tmp.path() + "/missing"));
  EXPECT_FALSE(file_exists(dangling));
  EXPECT_FALSE(file_exists(""));
}

}  // namespace
