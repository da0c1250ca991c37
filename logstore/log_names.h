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


}  // namespace quillo

#endif  // QUILLO_LOGSTORE_LOG_NAMES_H_
