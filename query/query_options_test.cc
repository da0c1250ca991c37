#include "query/query_options.h"

#include <stdlib.h>
#include <time.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace quillo {
namespace {

// Every case runs in UTC, so a calendar time is timegm() of its fields.
int64_t utc(int year, int month, int day, int hour = 0, int minute = 0,
            int second = 0) {
  struct tm f {};
  f.tm_year = year - 1900;
  f.tm_mon = month - 1;
  f.tm_mday = day;
  f.tm_hour = hour;
  f.tm_min = minute;
  f.tm_sec = second;
  return static_cast<int64_t>(timegm(&f));
}

const int64_t kNow = utc(2026, 12, 9, 13, 45, 10);

// `expected` empty: the text is refused. `zone` is the TZ the case runs
// in, `bound` the option it is given to.
struct TimeCase {
  const char* text;
  std::optional<int64_t> expected;
  const char* zone = "UTC";
  TimeBound bound = TimeBound::kSince;
};

void PrintTo(const TimeCase& c, std::ostream* os) {
  *os << '"' << c.text << "\" in " << c.zone
      << (c.bound == TimeBound::kSince ? " as --since" : " as --until");
}

class TimeArgTest : public ::testing::TestWithParam<TimeCase> {
 protected:
  void SetUp() override {
    setenv("TZ", GetParam().zone, 1);
    tzset();
  }
  void TearDown() override {
    setenv("TZ", "UTC", 1);
    tzset();
  }
};

TEST_P(TimeArgTest, ReadsLocalTime) {
  const TimeCase& c = GetParam();
  if (!c.expected) {
    EXPECT_THROW(parse_time_arg(c.text, kNow, c.bound), UsageError);
  } else {
    EXPECT_EQ(parse_time_arg(c.text, kNow, c.bound), *c.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, TimeArgTest,
    ::testing::Values(
        TimeCase{"2026-12-07", utc(2026, 12, 7)},
        TimeCase{"2026-12-07 09:30", utc(2026, 12, 7, 9, 30)},
        TimeCase{"2026-12-07 09:30:15", utc(2026, 12, 7, 9, 30, 15)},
        TimeCase{"2026-12-07T09:30:15", utc(2026, 12, 7, 9, 30, 15)},
        TimeCase{"today", utc(2026, 12, 9)},
        TimeCase{"yesterday", utc(2026, 12, 8)}, TimeCase{"now", kNow},
        TimeCase{"-2h", kNow - 7200}, TimeCase{"-7d", kNow - 7 * 86400},
        TimeCase{"-30m", kNow - 1800}, TimeCase{"-0s", kNow},
        TimeCase{"2026-02-31", std::nullopt},
        TimeCase{"2026-12-07 24:00", std::nullopt},
        TimeCase{"2026-12-7", std::nullopt},
        TimeCase{"2026/12/07", std::nullopt}, TimeCase{"-2", std::nullopt},
        TimeCase{"-2w", std::nullopt}, TimeCase{"+2h", std::nullopt},
        TimeCase{"2026-12-07 09:30:15x", std::nullopt},
        TimeCase{"", std::nullopt}));

// Every field is taken as given or the text is refused: nothing is moved
// into the next month, day or minute.
INSTANTIATE_TEST_SUITE_P(
    Calendar, TimeArgTest,
    ::testing::Values(
        TimeCase{"2026-00-07", std::nullopt},
        TimeCase{"2026-13-07", std::nullopt},
        TimeCase{"2026-12-00", std::nullopt},
        TimeCase{"2026-12-32", std::nullopt},
        TimeCase{"2026-02-29", std::nullopt},
        TimeCase{"2028-02-29", utc(2028, 2, 29)},
        TimeCase{"2100-02-29", std::nullopt},
        TimeCase{"2000-02-29", utc(2000, 2, 29)},
        TimeCase{"2026-04-31", std::nullopt},
        TimeCase{"2026-04-30 23:59:59", utc(2026, 4, 30, 23, 59, 59)},
        TimeCase{"2026-12-07 23:60", std::nullopt},
        TimeCase{"2026-12-07 23:59:60", std::nullopt},
        TimeCase{"2026-12-07 23:59:61", std::nullopt},
        TimeCase{"2026-12-07 99:00", std::nullopt},
        TimeCase{"1970-01-01", 0},
        TimeCase{"1969-12-31 23:59:59", -1},
        TimeCase{"1901-06-01", utc(1901, 6, 1)},
        TimeCase{"1970-01-01", -3600, "Europe/Berlin"},
        TimeCase{"-30000d", kNow - int64_t{30000} * 86400}));

// Berlin's clocks went forward at 02:00 on 2026-03-29 and go back at 03:00
// on 2026-10-25. A bound in the repeated hour covers both occurrences of
// its time; one in the skipped hour is the change itself.
constexpr TimeBound kUntil = TimeBound::kUntil;
INSTANTIATE_TEST_SUITE_P(
    DaylightSaving, TimeArgTest,
    ::testing::Values(
        TimeCase{"2026-10-25 02:15", utc(2026, 10, 25, 0, 15), "Europe/Berlin"},
        TimeCase{"2026-10-25 02:45", utc(2026, 10, 25, 1, 45), "Europe/Berlin",
                 kUntil},
        TimeCase{"2026-10-25 03:00", utc(2026, 10, 25, 2, 0), "Europe/Berlin",
                 kUntil},
        TimeCase{"2026-10-25 01:59:59", utc(2026, 10, 24, 23, 59, 59),
                 "Europe/Berlin", kUntil},
        TimeCase{"2026-03-29 02:30", utc(2026, 3, 29, 1, 0), "Europe/Berlin"},
        TimeCase{"2026-03-29 02:30", utc(2026, 3, 29, 0, 59, 59),
                 "Europe/Berlin", kUntil},
        TimeCase{"2026-03-29 03:00", utc(2026, 3, 29, 1, 0), "Europe/Berlin",
                 kUntil},
        TimeCase{"2026-10-25", utc(2026, 10, 24, 22), "Europe/Berlin", kUntil},
        TimeCase{"-1d", kNow - 86400, "Europe/Berlin", kUntil}));

struct OptionCase {
  std::vector<std::string> args;
  bool ok;
  // For the accepted ones: what the options must then say.
  LogKind kind = LogKind::kAccess;
  Output output = Output::kCsv;
  int filters = 0;
  int count_by = -1;
};

void PrintTo(const OptionCase& c, std::ostream* os) {
  for (const std::string& a : c.args) *os << a << ' ';
}

class QueryOptionsTest : public ::testing::TestWithParam<OptionCase> {};

TEST_P(QueryOptionsTest, AcceptsOrRefuses) {
  const OptionCase& c = GetParam();
  if (!c.ok) {
    EXPECT_THROW(parse_query_options(c.args, kNow), UsageError);
    return;
  }
  const QueryOptions o = parse_query_options(c.args, kNow);
  EXPECT_EQ(o.kind, c.kind);
  EXPECT_EQ(o.output, c.output);
  EXPECT_EQ(static_cast<int>(o.filters.size()), c.filters);
  EXPECT_EQ(o.count_by, c.count_by);
}

constexpr LogKind A = LogKind::kAccess;
constexpr Output Csv = Output::kCsv;

INSTANTIATE_TEST_SUITE_P(
    Table, QueryOptionsTest,
    ::testing::Values(
        OptionCase{{}, true, A, Csv, 0, -1},
        OptionCase{{"--kind", "system", "--output=json"},
                   true,
                   LogKind::kSystem,
                   Output::kJson,
                   0,
                   -1},
        OptionCase{{"--kind=alert", "--user", "a*", "--not-host=pc*"},
                   true,
                   LogKind::kAlert,
                   Csv,
                   2,
                   -1},
        OptionCase{
            {"--result", "fail", "--count-by", "user"}, true, A, Csv, 1, kUser},
        OptionCase{{"--count-by=day", "--output", "table"},
                   true,
                   A,
                   Output::kTable,
                   0,
                   kByDay},
        OptionCase{{"--kind", "system", "--count-by", "hour"},
                   true,
                   LogKind::kSystem,
                   Csv,
                   0,
                   kByHour},
        OptionCase{
            {"-f", "--lines", "3", "--since", "-1d"}, true, A, Csv, 0, -1},
        OptionCase{{"--result", "maybe"}, false, A, Csv, 0, -1},
        OptionCase{{"--user"}, false, A, Csv, 0, -1},
        OptionCase{{"--user", ""}, false, A, Csv, 0, -1},
        OptionCase{{"--kind", "mail"}, false, A, Csv, 0, -1},
        OptionCase{{"--output", "xml"}, false, A, Csv, 0, -1},
        OptionCase{{"--count-by", "path"}, false, A, Csv, 0, -1},
        OptionCase{{"--kind", "system", "--user", "x"}, false, A, Csv, 0, -1},
        OptionCase{
            {"--kind", "system", "--count-by", "user"}, false, A, Csv, 0, -1},
        OptionCase{{"--since", "2026-12-08", "--until", "2026-12-07"},
                   false,
                   A,
                   Csv,
                   0,
                   -1},
        OptionCase{{"--follow", "--until", "today"}, false, A, Csv, 0, -1},
        OptionCase{{"--follow", "--count-by", "ip"}, false, A, Csv, 0, -1},
        OptionCase{{"--lines", "x"}, false, A, Csv, 0, -1},
        OptionCase{{"stray"}, false, A, Csv, 0, -1},
        OptionCase{{"--users", "x"}, false, A, Csv, 0, -1}));

TEST(QueryOptionsFieldsTest, NegationAndResultWordAreKept) {
  const QueryOptions o = parse_query_options(
      {"--not-user", "Bob", "--result=ok", "--since", "2026-12-07"}, kNow);
  ASSERT_EQ(o.filters.size(), 2u);
  EXPECT_TRUE(o.filters[0].negate);
  EXPECT_EQ(o.filters[0].field, kUser);
  EXPECT_EQ(o.filters[0].pattern, "Bob");
  EXPECT_FALSE(o.filters[1].negate);
  EXPECT_TRUE(o.filters[1].word_only);
  EXPECT_TRUE(o.has_since);
}

}  // namespace
}  // namespace quillo
