// Time stamps and path helpers of the CSV log tree.
//
// Every time is local time (localtime_r / mktime); the caller is expected to
// have called tzset() for the request. All functions are pure apart from
// reading the time zone and, for file_exists / is_directory, the file system;
// they may be called from any thread.
//
//   format_log_time(t)   -> "2026/12/07 09:30:15"  (first CSV column)
//   format_file_stamp(t) -> "20261207093015"       (log file names)
//   format_month_dir(t)  -> "202612"               (month directories)

#ifndef QUILLO_LOGSTORE_LOG_NAMES_H_
#define QUILLO_LOGSTORE_LOG_NAMES_H_

#include <time.h>

#include <cstdint>
#include <string>

namespace quillo {

// Local time of `t` as YYYY/MM/DD HH:MM:SS: the year in decimal without
// leading zeros, the other fields two digits each.
std::string format_log_time(int64_t t);

// Local time of `t` as YYYYMMDDhhmmss (14 digits for a four-digit year).
std::string format_file_stamp(int64_t t);

// Local year and month of `t` as YYYYMM.
std::string format_month_dir(int64_t t);

// `b` when it is absolute; otherwise `a` and `b` joined by exactly the one
// "/" that `a` lacks. An empty `a` gives "/" followed by `b`.
std::string join_path(const std::string& a, const std::string& b);

// True when stat() succeeds for `path` (any kind of entry).
bool file_exists(const std::string& path);

// True when stat() succeeds for `path` and the entry is a directory.
bool is_directory(const std::string& path);

// The time stamp carried by a log file or month directory name: the first
// run of ASCII digits after `prefix` (after position 0 when `name` does not
// begin with `prefix`), returned only when it is exactly 6 digits (YYYYMM)
// or at least 14 digits (YYYYMMDDhhmmss...). Anything else gives "".
std::string extract_stamp(const std::string& name, const std::string& prefix);

// The calendar fields of a stamp from extract_stamp(), without
// normalisation: year and month from the first six characters, and day,
// hour, minute and second from the next eight when the stamp is longer than
// 13 characters (day 1 at 00:00:00 otherwise). Weekday and day of year are
// 0; tm_isdst is -1 so that mktime() decides daylight saving. Missing or
// non-digit characters read as 0.
struct tm stamp_to_time(const std::string& stamp);

}  // namespace quillo

// Temporary, until the readers and tools outside quillo:: qualify these
// names: the lead removes this block at merge.
using quillo::extract_stamp;
using quillo::file_exists;
using quillo::format_file_stamp;
using quillo::format_log_time;
using quillo::format_month_dir;
using quillo::is_directory;
using quillo::join_path;
using quillo::stamp_to_time;

#endif  // QUILLO_LOGSTORE_LOG_NAMES_H_
