// The one RFC 3339 formatter: the local time of `t` in whole seconds with
// the zone's offset, "2026-12-07T09:30:15+01:00". Empty when the time
// cannot be broken down (out of range). Reads the process's time zone.

#ifndef QUILLO_BASE_RFC3339_H_
#define QUILLO_BASE_RFC3339_H_

#include <time.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace base {

inline std::string rfc3339_local_time(std::int64_t t) {
  const time_t when = static_cast<time_t>(t);
  struct tm f {};
  if (localtime_r(&when, &f) == nullptr) return std::string();
  const long offset = f.tm_gmtoff / 60;
  const long magnitude = offset < 0 ? -offset : offset;
  char text[64];
  (void)std::snprintf(
      text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld",
      f.tm_year + 1900, f.tm_mon + 1, f.tm_mday, f.tm_hour, f.tm_min, f.tm_sec,
      offset < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
  return text;
}

}  // namespace base

#endif  // QUILLO_BASE_RFC3339_H_
