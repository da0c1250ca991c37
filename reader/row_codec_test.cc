#include "query/log_row.h"

#include <stdlib.h>
#include <time.h>

#include <ostream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "logstore/log_names.h"
#include "query/row_printer.h"
#include "query/visible_text.h"

namespace quillo_query {
namespace {

using ::testing::ElementsAre;

std::vector<std::string> fields_of(const Row& row, int count) {
  std::vector<std::string> out = {std::string(row.time)};
  for (int i = 0; i < count; ++i) out.emplace_back(row.fields[i]);
  return out;
}

TEST(SplitRowTest, LastColumnKeepsItsCommas) {
  Row row;
  const char* why = nullptr;
  ASSERT_TRUE(split_row("2026/12/07 09:30:15,u,h,1.2.3.4,open_read,ok,s,a,b,c",
                        Kind::kAccess, &row, &why));
  EXPECT_THAT(fields_of(row, kFieldCount),
              ElementsAre("2026/12/07 09:30:15", "u", "h", "1.2.3.4",
                          "open_read", "ok", "s", "a,b,c"));
  ASSERT_TRUE(
      split_row("2026/12/07 09:30:15,t1,,x,y", Kind::kSystem, &row, &why));
  EXPECT_THAT(fields_of(row, kSystemFieldCount),
              ElementsAre("2026/12/07 09:30:15", "t1", "", "x,y"));
  // Any client may send a byte order mark in a field; it is kept.
  ASSERT_TRUE(split_row("2026/12/07 09:30:15,u,h,1.2.3.4,delete,ok,s,"
                        "\xEF\xBB\xBFnotes.txt",
                        Kind::kAccess, &row, &why))
      << why;
  EXPECT_EQ(row.fields[kPath], "\xEF\xBB\xBFnotes.txt");
}

class DamagedRowTest
    : public ::testing::TestWithParam<std::pair<Kind, std::string>> {};

TEST_P(DamagedRowTest, IsRefusedWithAReason) {
  Row row;
  const char* why = nullptr;
  EXPECT_FALSE(split_row(GetParam().second, GetParam().first, &row, &why));
  EXPECT_NE(why, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, DamagedRowTest,
    ::testing::Values(
        std::make_pair(Kind::kAccess, std::string("")),
        std::make_pair(Kind::kAccess, std::string("2026/12/07 09:30:15,u,h")),
        std::make_pair(Kind::kSystem, std::string("2026/12/07 09:30:15,a,b")),
        std::make_pair(Kind::kSystem, std::string("2026-12-07 09:30:15,a,b,c")),
        std::make_pair(Kind::kSystem, std::string("2026/13/07 09:30:15,a,b,c")),
        std::make_pair(Kind::kSystem, std::string("2026/12/07 9:30:15,a,b,c")),
        std::make_pair(Kind::kSystem, std::string("\xEF\xBB\xBF"
                                                  "2026/12/07 09:30:15,a,b,c")),
        std::make_pair(Kind::kSystem,
                       std::string("2026/12/07 09:30:15,a\r,b,c")),
        std::make_pair(Kind::kSystem, std::string("2026/02/29 09:30:15,a,b,c")),
        std::make_pair(Kind::kSystem, std::string("2026/04/31 09:30:15,a,b,c")),
        std::make_pair(Kind::kSystem,
                       std::string("2026/12/00 09:30:15,a,b,c"))));

TEST(ResultWordTest, IsTheWordBeforeTheReason) {
  EXPECT_EQ(result_word("fail (Permission denied)"), "fail");
  EXPECT_EQ(result_word("ok"), "ok");
}

// The hour cache must give what the writer's own formatting round-trips,
// also across a daylight-saving change.
TEST(RowTimeParserTest, RoundTripsTheWritersTimesAcrossDst) {
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  RowTimeParser parser;
  struct tm start {};
  start.tm_year = 2026 - 1900;
  start.tm_mon = 2;
  start.tm_mday = 28;
  start.tm_isdst = -1;
  const int64_t t0 = static_cast<int64_t>(mktime(&start));
  for (int64_t t = t0; t < t0 + 3 * 86400; t += 599) {
    ASSERT_EQ(parser.parse(format_log_time(t)), t) << format_log_time(t);
  }
  // 48 hours after midnight, one of them lost to the change.
  EXPECT_EQ(rfc3339_time(t0), "2026-03-28T00:00:00+01:00");
  EXPECT_EQ(rfc3339_time(t0 + 2 * 86400), "2026-03-30T01:00:00+02:00");
  setenv("TZ", "UTC", 1);
  tzset();
}

// The stored time cannot tell the two 02:30s of the night the clocks go
// back apart; the rows' order can: the daemon's clock only goes forward,
// so once the time falls back inside the repeated hour, the rest of that
// hour is its second occurrence.
TEST(RowTimeParserTest, TellsTheRepeatedHourApartByTheRowsOrder) {
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  const std::pair<const char*, const char*> kRows[] = {
      {"2026/10/25 01:59:00", "2026-10-25T01:59:00+02:00"},
      {"2026/10/25 02:30:00", "2026-10-25T02:30:00+02:00"},
      {"2026/10/25 02:59:59", "2026-10-25T02:59:59+02:00"},
      {"2026/10/25 02:00:00", "2026-10-25T02:00:00+01:00"},
      {"2026/10/25 02:30:00", "2026-10-25T02:30:00+01:00"},
      {"2026/10/25 02:30:00", "2026-10-25T02:30:00+01:00"},
      {"2026/10/25 02:45:00", "2026-10-25T02:45:00+01:00"},
      {"2026/10/25 03:00:00", "2026-10-25T03:00:00+01:00"},
  };
  RowTimeParser parser;
  int64_t previous = parser.parse("2026/10/25 01:00:00");
  for (const auto& [time, expected] : kRows) {
    const int64_t t = parser.parse(time);
    EXPECT_EQ(rfc3339_time(t), expected);
    EXPECT_GE(t, previous) << time;
    previous = t;
  }
  // Without an earlier row of that hour, the first occurrence is taken.
  RowTimeParser fresh;
  EXPECT_EQ(rfc3339_time(fresh.parse("2026/10/25 02:10:00")),
            "2026-10-25T02:10:00+02:00");
  setenv("TZ", "UTC", 1);
  tzset();
}

TEST(JsonStringTest, DecodesEscapesAndReplacesBadBytes) {
  std::string out;
  append_json_string(out, "a#015#012b\"\\\x01\xC3\xA9\xFF\xE3\x81z#01");
  EXPECT_EQ(out,
            "\"a\\r\\nb\\\"\\\\\\u0001\xC3\xA9\xEF\xBF\xBD\xEF\xBF\xBD"
            "\xEF\xBF\xBDz#01\"");
  out.clear();
  append_json_string(out, "\x1B\x7F\xC2\x9B\xC2\x80\xC2\xA0");
  EXPECT_EQ(out, "\"\\u001b\\u007f\\u009b\\u0080\xC2\xA0\"");
}

struct VisibleCase {
  const char* stored;
  const char* shown;
  std::size_t columns;
};

void PrintTo(const VisibleCase& c, std::ostream* os) { *os << c.shown; }

class VisibleTextTest : public ::testing::TestWithParam<VisibleCase> {};

TEST_P(VisibleTextTest, ShowsEveryControlEscaped) {
  EXPECT_EQ(visible(GetParam().stored), GetParam().shown);
  EXPECT_EQ(visible_width(GetParam().stored), GetParam().columns);
}

INSTANTIATE_TEST_SUITE_P(
    Characters, VisibleTextTest,
    ::testing::Values(
        VisibleCase{"plain, text", "plain, text", 11},
        VisibleCase{"\x1B[31m", "\\x1b[31m", 8},
        VisibleCase{"\t\x7F\x01", "\\x09\\x7f\\x01", 12},
        VisibleCase{"\xC2\x9B" "2J", "\\u009b2J", 8},
        VisibleCase{"\xC2\x80\xC2\x9F\xC2\xA0",
                    "\\u0080\\u009f\xC2\xA0", 13},
        VisibleCase{"\x9B\xFF\xC2", "\\x9b\\xff\\xc2", 12},
        VisibleCase{"a\\x1b", "a\\\\x1b", 6},
        VisibleCase{"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9", 3}));

}  // namespace
}  // namespace quillo_query
