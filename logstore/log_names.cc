#include "logstore/log_names.h"

#include <sys/stat.h>
#include <time.h>

#include <cstdio>
#include <cstring>

namespace quillo {
namespace {

// Local calendar fields of `t`. A time the C library cannot break down
// (far outside any calendar it handles) gives 1900-01-01 00:00:00 rather
// than uninitialised fields.
struct tm local_fields(int64_t t) {
  struct tm fields;
  const time_t value = static_cast<time_t>(t);
  if (localtime_r(&value, &fields) == nullptr) {
    std::memset(&fields, 0, sizeof fields);
    fields.tm_mday = 1;
  }
  return fields;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The decimal value of up to `len` characters of `s` from `pos`; a character
// that is missing or not a digit counts as 0.
int digits_at(const std::string& s, size_t pos, size_t len) {
  int value = 0;
  for (size_t i = pos; i < pos + len; ++i) {
    value *= 10;
    if (i < s.size() && is_digit(s[i])) value += s[i] - '0';
  }
  return value;
}

}  // namespace

std::string format_log_time(int64_t t) {
  const struct tm f = local_fields(t);
  char text[64];
  (void)std::snprintf(text, sizeof text, "%d/%02d/%02d %02d:%02d:%02d",
                      f.tm_year + 1900, f.tm_mon + 1, f.tm_mday, f.tm_hour,
                      f.tm_min, f.tm_sec);
  return text;
}

std::string format_file_stamp(int64_t t) {
  const struct tm f = local_fields(t);
  char text[64];
  (void)std::snprintf(text, sizeof text, "%d%02d%02d%02d%02d%02d",
                      f.tm_year + 1900, f.tm_mon + 1, f.tm_mday, f.tm_hour,
                      f.tm_min, f.tm_sec);
  return text;
}

std::string format_month_dir(int64_t t) {
  const struct tm f = local_fields(t);
  char text[32];
  (void)std::snprintf(text, sizeof text, "%d%02d", f.tm_year + 1900,
                      f.tm_mon + 1);
  return text;
}

std::string join_path(const std::string& a, const std::string& b) {
  if (!b.empty() && b[0] == '/') return b;
  if (!a.empty() && a.back() == '/') return a + b;
  std::string joined;
  joined.reserve(a.size() + 1 + b.size());
  joined.append(a).append(1, '/').append(b);
  return joined;
}

bool file_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string extract_stamp(const std::string& name, const std::string& prefix) {
  size_t pos = name.compare(0, prefix.size(), prefix) == 0 ? prefix.size() : 0;
  while (pos < name.size() && !is_digit(name[pos])) ++pos;
  if (pos == name.size()) return std::string();
  size_t end = pos;
  while (end < name.size() && is_digit(name[end])) ++end;
  const size_t run = end - pos;
  if (run > 13 || run == 6) return name.substr(pos, run);
  return std::string();
}

struct tm stamp_to_time(const std::string& stamp) {
  struct tm fields;
  std::memset(&fields, 0, sizeof fields);
  fields.tm_year = digits_at(stamp, 0, 4) - 1900;
  fields.tm_mon = digits_at(stamp, 4, 2) - 1;
  fields.tm_mday = 1;
  if (stamp.size() > 13) {
    fields.tm_mday = digits_at(stamp, 6, 2);
    fields.tm_hour = digits_at(stamp, 8, 2);
    fields.tm_min = digits_at(stamp, 10, 2);
    fields.tm_sec = digits_at(stamp, 12, 2);
  }
  fields.tm_isdst = -1;
  return fields;
}

}  // namespace quillo
