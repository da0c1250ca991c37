// Fuzzes quillo-query's command line. Nothing but UsageError may escape.
// A time expression is accepted or refused alike as --since and --until,
// and when accepted it must be one of the documented forms and mean what
// it says: "YYYY-MM-DD[( |T)hh:mm[:ss]]" is a time whose local fields
// (localtime_r) are exactly the ones written, or, for a time the clocks
// skipped, the moment they jumped to (as an --until also the second before
// it); a repeated hour may give an --until later than the --since, never
// earlier. "now" is now,
// "today" and "yesterday" local midnights of now's day and the day before,
// "-N" with s, m, h or d that many units before now. An accepted command
// line keeps the options' ranges and the combinations the usage allows.
//
// Input: byte 0 picks the zone (bit 0: UTC or Europe/Berlin), the mode
// (bit 1: one time expression, or a whole argument list) and now (bit 2:
// a winter or a summer day); the rest is the expression, or the arguments
// separated by NUL.

#include <stdlib.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/local_fields.h"
#include "query/query_options.h"

namespace {

using quillo::kByDay;
using quillo::kByHour;
using quillo::kFieldCount;
using quillo::kPath;
using quillo::kResult;
using quillo::LogKind;
using quillo::QueryOptions;
using quillo::UsageError;

bool digits_at(const std::string& s, std::size_t pos, std::size_t n, int* v) {
  *v = 0;
  for (std::size_t i = pos; i < pos + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    *v = *v * 10 + (s[i] - '0');
  }
  return true;
}

// The fields of "YYYY-MM-DD[( |T)hh:mm[:ss]]", or false for another text.
bool calendar_fields(const std::string& s, int f[6]) {
  const std::size_t n = s.size();
  f[3] = f[4] = f[5] = 0;
  if (n != 10 && n != 16 && n != 19) return false;
  if (!digits_at(s, 0, 4, &f[0]) || s[4] != '-' || !digits_at(s, 5, 2, &f[1]) ||
      s[7] != '-' || !digits_at(s, 8, 2, &f[2])) {
    return false;
  }
  if (n == 10) return true;
  if ((s[10] != ' ' && s[10] != 'T') || !digits_at(s, 11, 2, &f[3]) ||
      s[13] != ':' || !digits_at(s, 14, 2, &f[4])) {
    return false;
  }
  return n == 16 || (s[16] == ':' && digits_at(s, 17, 2, &f[5]));
}

struct tm local(int64_t t) {
  const time_t value = static_cast<time_t>(t);
  struct tm f {};
  if (localtime_r(&value, &f) == nullptr) abort();
  return f;
}

bool is_midnight_days_before(int64_t t, int64_t now, int days) {
  struct tm want = local(now);
  want.tm_mday -= days;
  want.tm_hour = want.tm_min = want.tm_sec = 0;
  want.tm_isdst = -1;
  mktime(&want);  // puts the calendar day into `want`
  const struct tm got = local(t);
  return got.tm_year == want.tm_year && got.tm_mon == want.tm_mon &&
         got.tm_mday == want.tm_mday && got.tm_hour == 0 && got.tm_min == 0 &&
         got.tm_sec == 0;
}

// The fields as one number that orders them, for a real calendar time;
// kNoDay for a day the calendar does not have.
constexpr int64_t kNoDay = INT64_MIN;

int64_t wall(int year, int month, int day, int hour, int minute, int second) {
  if (month < 1 || month > 12 || day < 1) return kNoDay;
  struct tm f {};
  f.tm_year = year - 1900;
  f.tm_mon = month - 1;
  f.tm_mday = day;
  f.tm_hour = hour;
  f.tm_min = minute;
  f.tm_sec = second;
  const int64_t t = static_cast<int64_t>(timegm(&f));
  return f.tm_mday == day ? t : kNoDay;  // timegm() moves 31 April to May
}

int64_t wall(const struct tm& f) {
  return wall(f.tm_year + 1900, f.tm_mon + 1, f.tm_mday, f.tm_hour, f.tm_min,
              f.tm_sec);
}

// `t` shows the fields `f` on the local clock.
bool shows(int64_t t, const int f[6]) {
  const int64_t want = wall(f[0], f[1], f[2], f[3], f[4], f[5]);
  return want != kNoDay && wall(local(t)) == want;
}

// The clocks jumped at `t` over the time the fields `f` name.
bool jumped_over(int64_t t, const int f[6]) {
  const int64_t want = wall(f[0], f[1], f[2], f[3], f[4], f[5]);
  const struct tm got = local(t);
  const struct tm before = local(t - 1);
  return want != kNoDay && before.tm_gmtoff < got.tm_gmtoff &&
         wall(before) < want && want < wall(got);
}

// The expression as --until reads it, or false when it is refused.
bool until_of(const std::string& text, int64_t now, int64_t* t) {
  try {
    *t = quillo::parse_query_options({"--until=" + text}, now).until;
    return true;
  } catch (const UsageError& e) {
    if (*e.what() == '\0') abort();
    return false;
  }
}

void check_time(const std::string& text, int64_t now) {
  int64_t t, until;
  try {
    t = quillo::parse_time_arg(text, now);
  } catch (const UsageError& e) {
    if (*e.what() == '\0' || until_of(text, now, &until)) abort();
    return;
  }
  if (!until_of(text, now, &until)) abort();
  int f[6];
  if (calendar_fields(text, f)) {
    // A repeated hour is its first occurrence as a since, its second as
    // an until; a skipped time the jump, or as an until the last second
    // before it.
    if (!(shows(t, f) || jumped_over(t, f)) ||
        !(shows(until, f) || jumped_over(until, f) ||
          jumped_over(until + 1, f)) ||
        until < t - 1) {
      abort();
    }
    return;
  }
  if (until != t) abort();
  if (text == "now") {
    if (t != now) abort();
  } else if (text == "today" || text == "yesterday") {
    if (!is_midnight_days_before(t, now, text == "today" ? 0 : 1)) abort();
  } else {
    // Only "-N" and a unit is left.
    const std::size_t n = text.size();
    if (n < 3 || text[0] != '-') abort();
    const std::string units = "smhd";
    const std::size_t unit = units.find(text[n - 1]);
    const int64_t scale[] = {1, 60, 3600, 86400};
    int64_t count = 0;
    for (std::size_t i = 1; i + 1 < n; ++i) {
      if (text[i] < '0' || text[i] > '9' || count > (INT64_MAX / 86400) / 10) {
        abort();
      }
      count = count * 10 + (text[i] - '0');
    }
    if (unit == std::string::npos || t != now - count * scale[unit]) abort();
  }
}

void check_options(const std::vector<std::string>& args, int64_t now) {
  QueryOptions o;
  try {
    o = quillo::parse_query_options(args, now);
  } catch (const UsageError& e) {
    if (*e.what() == '\0') abort();
    return;
  }
  if (o.help) return;  // the rest of the line is not read
  const QueryOptions defaults;
  if (o.since > o.until || o.lines < 0 || o.lines > 999999) abort();
  if (!o.has_since && o.since != defaults.since) abort();
  if (o.follow && (o.count_by >= 0 || o.until != defaults.until)) abort();
  if (o.count_by != -1 && o.count_by != kByHour && o.count_by != kByDay &&
      (o.count_by < 0 || o.count_by >= kFieldCount || o.count_by == kPath)) {
    abort();
  }
  const bool system = o.kind == LogKind::kSystem;
  if (system &&
      (!o.filters.empty() || (o.count_by >= 0 && o.count_by < kFieldCount))) {
    abort();
  }
  for (const quillo::FieldFilter& f : o.filters) {
    if (f.field < 0 || f.field >= kFieldCount || f.pattern.empty() ||
        f.word_only != (f.field == kResult) ||
        (f.word_only && f.pattern != "ok" && f.pattern != "fail")) {
      abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  setenv("TZ", data[0] & 1 ? "Europe/Berlin" : "UTC", 1);
  base::reload_time_zone();
  // 2026-12-07 09:30:15 and 2026-07-01 10:00:00 UTC.
  const int64_t now = data[0] & 4 ? 1782900000 : 1796635815;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  if ((data[0] & 2) == 0) {
    check_time(text, now);
    return 0;
  }
  std::vector<std::string> args;
  std::size_t start = 0;
  for (std::size_t nul; (nul = text.find('\0', start)) != std::string::npos;
       start = nul + 1) {
    args.push_back(text.substr(start, nul - start));
  }
  args.push_back(text.substr(start));
  check_options(args, now);
  return 0;
}
