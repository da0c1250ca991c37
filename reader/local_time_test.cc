// Local times of the reader: the instants of the rows' stored times, also
// the night the clocks change.

#include "reader/local_time.h"

#include <stdlib.h>
#include <time.h>

#include <string>

#include <gtest/gtest.h>

#include "base/rfc3339.h"
#include "logstore/log_kind.h"
#include "logstore/log_row.h"

namespace quillo {
namespace {

// The time column the writer stores for a row at `t`.
std::string written_time(int64_t t) {
  const std::string line = encode_row(LogRow{LogKind::kSystem, t, {}});
  return line.substr(0, line.find(','));
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
    ASSERT_EQ(parser.parse(written_time(t)), t) << written_time(t);
  }
  // 48 hours after midnight, one of them lost to the change.
  EXPECT_EQ(base::rfc3339_local_time(t0), "2026-03-28T00:00:00+01:00");
  EXPECT_EQ(base::rfc3339_local_time(t0 + 2 * 86400),
            "2026-03-30T01:00:00+02:00");
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
    EXPECT_EQ(base::rfc3339_local_time(t), expected);
    EXPECT_GE(t, previous) << time;
    previous = t;
  }
  // Without an earlier row of that hour, the first occurrence is taken.
  RowTimeParser fresh;
  EXPECT_EQ(base::rfc3339_local_time(fresh.parse("2026/10/25 02:10:00")),
            "2026-10-25T02:10:00+02:00");
  setenv("TZ", "UTC", 1);
  tzset();
}

TEST(LocalInstantsTest, NamesTheRepeatedAndTheSkippedHour) {
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  // 2026-10-25 02:30 comes twice: at 00:30 and 01:30 UTC.
  RowTimeFields repeated;
  repeated.year = 2026;
  repeated.month = 10;
  repeated.day = 25;
  repeated.hour = 2;
  repeated.minute = 30;
  const LocalInstants twice = local_instants(wall_seconds(repeated));
  EXPECT_EQ(twice.first, 1792888200);
  EXPECT_EQ(twice.last, 1792891800);
  // 2026-03-29 02:30 never was: the clocks jumped at 01:00 UTC.
  RowTimeFields skipped = repeated;
  skipped.month = 3;
  skipped.day = 29;
  const LocalInstants never = local_instants(wall_seconds(skipped));
  EXPECT_EQ(never.first, 1774746000);
  EXPECT_EQ(never.last, never.first - 1);
  setenv("TZ", "UTC", 1);
  tzset();
}

}  // namespace
}  // namespace quillo
