#include "logstore/log_names.h"

#include <sys/stat.h>
#include <time.h>

#include <cstdio>
#include <cstring>

#include "base/local_fields.h"

namespace quillo {
namespace {

// Local calendar fields of `t`. A time the C library cannot break down
// (far outside any calendar it handles) gives 1900-01-01 00:00:00 rather
// than uninitialised fields.
struct tm local_fields(int64_t t) {
  struct tm fields;
  if (!base::local_fields(t, &fields)) {
    std::memset(&fields, 0, sizeof fields);
    fields.tm_mday = 1;
  }
  return fields;
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

}  // namespace quillo
