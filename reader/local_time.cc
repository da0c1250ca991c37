#include "reader/local_time.h"

#include <time.h>

#include <algorithm>

namespace quillo {
namespace {

constexpr int64_t kDay = 86400;

// Days from 1970-01-01 to the given date: the era arithmetic of the
// proleptic Gregorian calendar (400-year eras of 146097 days, the year
// taken from March so that the leap day comes last).
int64_t days_from_civil(int64_t year, int month, int day) {
  const int64_t y = month <= 2 ? year - 1 : year;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t year_of_era = y - era * 400;
  const int64_t day_of_year =
      (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const int64_t day_of_era =
      year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

// The zone's offset from UTC at the instant `t`; 0 when the C library
// cannot say (a year beyond its range).
int64_t offset_at(int64_t t) {
  const time_t value = static_cast<time_t>(t);
  struct tm fields;
  if (localtime_r(&value, &fields) == nullptr) return 0;
  return static_cast<int64_t>(fields.tm_gmtoff);
}

}  // namespace

int64_t wall_seconds(const RowTimeFields& c) {
  return days_from_civil(c.year, c.month, c.day) * kDay + c.hour * 3600 +
         c.minute * 60 + c.second;
}

int64_t wall_of(int64_t t) { return t + offset_at(t); }

LocalInstants local_instants(int64_t wall) {
  // Zones change their offset at most once in a few days, so the offsets
  // two days either side of `wall` are the only ones it can be under.
  const int64_t before = wall - offset_at(wall - 2 * kDay);
  const int64_t after = wall - offset_at(wall + 2 * kDay);
  const bool before_fits = wall_of(before) == wall;
  const bool after_fits = wall_of(after) == wall;
  if (before_fits && after_fits) {
    return LocalInstants{std::min(before, after), std::max(before, after)};
  }
  if (before_fits) return LocalInstants{before, before};
  if (after_fits) return LocalInstants{after, after};
  // Skipped: the clocks jumped over `wall` somewhere between the two
  // candidates, and wall_of() rises there, so the first instant past the
  // gap is found by halving.
  int64_t lo = std::min(before, after);
  int64_t hi = std::max(before, after);
  if (wall_of(lo) > wall) return LocalInstants{lo, lo - 1};
  while (hi - lo > 1) {
    const int64_t mid = lo + (hi - lo) / 2;
    if (wall_of(mid) > wall) {
      hi = mid;
    } else {
      lo = mid;
    }
  }
  return LocalInstants{hi, hi - 1};
}

int64_t RowTimeParser::parse(std::string_view time) {
  RowTimeFields c;
  if (!parse_row_time(time, &c)) return kNoTime;
  const int64_t wall = wall_seconds(c);
  const int64_t hour = wall - c.minute * 60 - c.second;
  if (hour != hour_wall_) {
    // Zones change their offset on the hour or half hour, never twice in
    // one, so an hour with the same single offset at both ends has it
    // throughout; any other hour is looked up row by row.
    const LocalInstants start = local_instants(hour);
    const LocalInstants end = local_instants(hour + 3599);
    if (start.first == start.last && end.first == end.last &&
        hour - start.first == hour + 3599 - end.first) {
      hour_wall_ = hour;
      hour_offset_ = hour - start.first;
    } else {
      hour_wall_ = kNoTime;
    }
  }
  if (hour_wall_ != kNoTime) {
    repeated_wall_ = kNoTime;
    second_occurrence_ = false;
    return wall - hour_offset_;
  }
  const LocalInstants at = local_instants(wall);
  if (at.first >= at.last) {  // one instant, or the end of a skipped hour
    repeated_wall_ = kNoTime;
    second_occurrence_ = false;
    return at.first;
  }
  if (repeated_wall_ != kNoTime && wall < repeated_wall_) {
    second_occurrence_ = true;
  }
  repeated_wall_ = wall;
  return second_occurrence_ ? at.last : at.first;
}

}  // namespace quillo
