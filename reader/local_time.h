// Local calendar times of quillo-query: the fields of a date and time, and
// the instants a local time names in the process's time zone.
//
// A wall time is a local calendar time counted in seconds as if it were
// UTC: 2026-10-25 02:30:00 is the same number in every zone. Most wall
// times name one instant. When the clocks go back an hour, the wall times
// of that hour come twice and name two instants; when they go forward, the
// wall times of the hour skipped name none.
//
//   const LocalInstants at = local_instants(wall_seconds(civil));
//   // at.first: the earliest instant at or after that local time,
//   // at.last: the latest instant at or before it.
//
// The functions read the zone tzset() chose and may be called from any
// thread.

#ifndef QUILLO_QUERY_LOCAL_TIME_H_
#define QUILLO_QUERY_LOCAL_TIME_H_

#include <cstdint>

namespace quillo_query {

// A proleptic Gregorian date and a time of day, as written.
struct CivilTime {
  int64_t year = 0;
  int month = 1;  // 1..12
  int day = 1;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// True when `c` names a time that exists on the calendar: month 1-12, a
// day the month has (29 February in leap years only), hour 0-23, minute
// 0-59 and second 0-`max_second` (59, or 60 for a leap second).
bool valid_civil(const CivilTime& c, int max_second);

// The wall time of `c`. Precondition: valid_civil(c, 60).
int64_t wall_seconds(const CivilTime& c);

// The wall time of the instant `t` (t plus the zone's offset at t).
int64_t wall_of(int64_t t);

// What a wall time names in the local zone. first == last: one instant;
// first < last: the wall time comes twice (first and last are the two
// occurrences); first == last + 1: the wall time was skipped, and first is
// the first instant after the gap.
struct LocalInstants {
  int64_t first;
  int64_t last;
};

LocalInstants local_instants(int64_t wall);

}  // namespace quillo_query

#endif  // QUILLO_QUERY_LOCAL_TIME_H_
