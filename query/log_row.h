// The rows of the CSV log tree as the query reads them back.
//
// A row is one line of a log file without its CR LF. Columns are joined by
// "," with no quoting, so only the last column may hold commas:
//
//   access, alert: time,user,host,ip,operation,result,share,path...
//   system:        time,text1,text2,text3...
//
// The time column is the writer's local time, "YYYY/MM/DD hh:mm:ss".
// Everything here views the caller's buffer (no copies); the views live as
// long as that buffer.

#ifndef QUILLO_QUERY_LOG_ROW_H_
#define QUILLO_QUERY_LOG_ROW_H_

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

namespace quillo_query {

enum class Kind { kSystem, kAccess, kAlert };

// Folder and file-name prefix of a kind: "accesslog", "access_".
const char* kind_dir(Kind kind);
const char* kind_prefix(Kind kind);

// Columns after the time, in file order. System rows use the first three.
enum Field { kUser = 0, kHost, kIp, kOp, kResult, kShare, kPath, kFieldCount };
inline constexpr int kText1 = 0;
inline constexpr int kSystemFieldCount = 3;

// Column names as the options and the JSON output spell them.
const char* field_name(Kind kind, int field);

struct Row {
  std::string_view line;  // the whole row, as stored
  std::string_view time;
  std::string_view fields[kFieldCount];
};

// Splits `line` into `row`. False, with `why` set, when the line is not a
// row of `kind`: too few columns, a malformed time, a line break the
// writer never leaves in a row, or another file's byte order mark at its
// start. A byte order mark inside a field is kept.
bool split_row(std::string_view line, Kind kind, Row* row, const char** why);

// The word a result column starts with: "ok" or "fail" for the rows the
// daemon writes ("fail (Permission denied)" gives "fail").
std::string_view result_word(std::string_view result);

// What a time is when there is none: no row's time can be this, since
// every other value is a valid time (those before 1970 too).
inline constexpr int64_t kNoTime = std::numeric_limits<int64_t>::min();

// Turns "YYYY/MM/DD hh:mm:ss" of local time into seconds since the epoch,
// for rows handed to it in file order. Remembers the last hour it looked
// up, so rows of the same hour cost no time zone look-up; the process's
// time zone must not change meanwhile. Single-threaded.
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

// The local time of `t` in RFC 3339 with the zone's offset:
// "2026-12-07T09:30:15+01:00".
std::string rfc3339_time(int64_t t);

}  // namespace quillo_query

#endif  // QUILLO_QUERY_LOG_ROW_H_
