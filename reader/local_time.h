// Local calendar times of the log reader: the instants a local time names
// in the process's time zone, and the instants of the rows' stored times.
//
// A wall time is a local calendar time counted in seconds as if it were
// UTC: 2026-10-25 02:30:00 is the same number in every zone. Most wall
// times name one instant. When the clocks go back an hour, the wall times
// of that hour come twice and name two instants; when they go forward, the
// wall times of the hour skipped name none.
//
//   const LocalInstants at = local_instants(wall_seconds(fields));
//   // at.first: the earliest instant at or after that local time,
//   // at.last: the latest instant at or before it.
//
// The calendar fields are logstore's RowTimeFields, checked by whoever
// parsed them (parse_row_time, parse_log_file_name). The free functions
// read the zone tzset() chose and may be called from any thread.

#ifndef QUILLO_READER_LOCAL_TIME_H_
#define QUILLO_READER_LOCAL_TIME_H_

#include <cstdint>
#include <limits>
#include <string_view>

#include "logstore/log_row.h"

namespace quillo {

// The wall time of `c`. Precondition: `c` names a calendar time (month
// 1-12, a day the month has, hour 0-23, minute 0-59, second 0-60).
int64_t wall_seconds(const RowTimeFields& c);

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

// What a time is when there is none: no row's time can be this, since
// every other value is a valid time (those before 1970 too).
inline constexpr int64_t kNoTime = std::numeric_limits<int64_t>::min();

// Turns a row's stored time ("YYYY/MM/DD hh:mm:ss" of local time, read by
// parse_row_time) into seconds since the epoch, for rows handed to it in
// file order. Remembers the last hour it looked up, so rows of the same
// hour cost no time zone look-up; the process's time zone must not change
// meanwhile. Single-threaded.
//
// The night the clocks go back, the times of one hour come twice and the
// stored time does not say which is meant. The daemon's clock only goes
// forward, so within that hour a row whose time lies before the previous
// row's is the second occurrence, and so is every later row of the hour;
// until that happens the first occurrence is taken. A time the clocks
// skipped gives the instant they jumped to.
class RowTimeParser {
 public:
  // kNoTime when `time` is not of that form or out of range.
  int64_t parse(std::string_view time);

 private:
  int64_t hour_wall_ = kNoTime;  // wall time of the hour cached, or none
  int64_t hour_offset_ = 0;      // its one zone offset
  // Set while the previous row lay in a repeated hour: its wall time and
  // whether the second occurrence was reached.
  int64_t repeated_wall_ = kNoTime;
  bool second_occurrence_ = false;
};

}  // namespace quillo

#endif  // QUILLO_READER_LOCAL_TIME_H_
