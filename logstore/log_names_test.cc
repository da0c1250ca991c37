#include "logstore/log_names.h"

#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "logstore/log_test_util.h"

namespace quillo {
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
}  // namespace quillo
