#include "logstore/log_test_util.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "base/local_fields.h"

namespace logtest {

ScopedTimeZone::ScopedTimeZone(const char* zone) {
  const char* old = getenv("TZ");
  had_old_ = old != nullptr;
  if (had_old_) old_ = old;
  setenv("TZ", zone, 1);
  base::reload_time_zone();
}

ScopedTimeZone::~ScopedTimeZone() {
  if (had_old_) {
    setenv("TZ", old_.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  base::reload_time_zone();
}

int64_t local_time(int year, int month, int day, int hour, int minute,
                   int second) {
  struct tm fields;
  std::memset(&fields, 0, sizeof fields);
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  fields.tm_sec = second;
  fields.tm_isdst = -1;
  return static_cast<int64_t>(mktime(&fields));
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<missing>";
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

bool write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  out.close();
  return !out.fail();
}

bool make_dir(const std::string& path) {
  return mkdir(path.c_str(), 0755) == 0;
}

int file_mode(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int>(st.st_mode & 07777);
}

}  // namespace logtest
