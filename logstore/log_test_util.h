// Helpers shared by the log storage tests: a private temporary tree, a
// scoped time zone and small file utilities.

#ifndef QUILLO_LOGSTORE_LOG_TEST_UTIL_H_
#define QUILLO_LOGSTORE_LOG_TEST_UTIL_H_

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "testing/temp_tree.h"

namespace logtest {

// A private temporary directory, removed with all its content.
using TempDir = quillo_test::TempTree;

// Sets TZ and calls tzset(); restores the previous TZ on destruction.
// Changes the process environment: single-threaded tests only.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone);
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;
  ~ScopedTimeZone();

 private:
  bool had_old_;
  std::string old_;
};

// Local time of the given calendar fields (daylight saving decided by the
// zone).
int64_t local_time(int year, int month, int day, int hour, int minute,
                   int second);

// Whole content of `path`, or "<missing>" when it cannot be read.
std::string read_file(const std::string& path);
// Creates or replaces `path` with `content`; returns false on failure.
bool write_file(const std::string& path, const std::string& content);
// Makes `path` with mode 0755; returns false on failure.
bool make_dir(const std::string& path);
// Permission bits of `path`, or -1 when stat() fails.
int file_mode(const std::string& path);

}  // namespace logtest

#endif  // QUILLO_LOGSTORE_LOG_TEST_UTIL_H_
