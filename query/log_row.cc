#include "query/log_row.h"

#include <time.h>

#include <cstdio>
#include <cstring>

#include "query/local_time.h"

namespace quillo_query {
namespace {

// Positions of the separators of "YYYY/MM/DD hh:mm:ss", counted from the
// end, since the year has as many digits as it needs.
constexpr std::size_t kTailLength = 15;  // "/MM/DD hh:mm:ss"

bool digits(std::string_view s, std::size_t pos, std::size_t len, int* out) {
  int value = 0;
  for (std::size_t i = pos; i < pos + len; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    value = value * 10 + (s[i] - '0');
  }
  *out = value;
  return true;
}

// The next column of `rest` up to ",", which is consumed; false when there
// is no further ",".
bool take_column(std::string_view* rest, std::string_view* column) {
  const std::size_t comma = rest->find(',');
  if (comma == std::string_view::npos) return false;
  *column = rest->substr(0, comma);
  rest->remove_prefix(comma + 1);
  return true;
}

// A byte order mark inside a field is a client's bytes like any other: the
// writer keeps fields as received but for CR and LF. One that begins a line
// is another file's mark, pasted in.
bool has_foreign_bytes(std::string_view line, const char** why) {
  // The reader cuts lines at LF, so a CR is the only line break left.
  if (std::memchr(line.data(), '\r', line.size()) != nullptr) {
    *why = "line break inside the row";
    return true;
  }
  if (line.substr(0, 3) == "\xEF\xBB\xBF") {
    *why = "byte order mark inside the row";
    return true;
  }
  return false;
}

// The fields of "YYYY/MM/DD hh:mm:ss"; false when `time` is not of that
// form or names no calendar time (30 February). A leap second is allowed:
// a zone that counts them writes it.
bool time_parts(std::string_view time, CivilTime* c) {
  if (time.size() <= kTailLength || time.size() > kTailLength + 9) {
    return false;
  }
  const std::size_t y = time.size() - kTailLength;
  int year = 0;
  if (!digits(time, 0, y, &year) || time[y] != '/' ||
      !digits(time, y + 1, 2, &c->month) || time[y + 3] != '/' ||
      !digits(time, y + 4, 2, &c->day) || time[y + 6] != ' ' ||
      !digits(time, y + 7, 2, &c->hour) || time[y + 9] != ':' ||
      !digits(time, y + 10, 2, &c->minute) || time[y + 12] != ':' ||
      !digits(time, y + 13, 2, &c->second)) {
    return false;
  }
  c->year = year;
  return valid_civil(*c, 60);
}

}  // namespace

const char* kind_dir(Kind kind) {
  switch (kind) {
    case Kind::kSystem:
      return "systemlog";
    case Kind::kAccess:
      return "accesslog";
    case Kind::kAlert:
      return "alertlog";
  }
  return "";
}

const char* kind_prefix(Kind kind) {
  switch (kind) {
    case Kind::kSystem:
      return "system_";
    case Kind::kAccess:
      return "access_";
    case Kind::kAlert:
      return "alert_";
  }
  return "";
}

const char* field_name(Kind kind, int field) {
  static const char* const kAccess[kFieldCount] = {
      "user", "host", "ip", "op", "result", "share", "path"};
  static const char* const kSystem[kSystemFieldCount] = {"text1", "text2",
                                                         "text3"};
  if (kind == Kind::kSystem) {
    return field < kSystemFieldCount ? kSystem[field] : "";
  }
  return field < kFieldCount ? kAccess[field] : "";
}

bool split_row(std::string_view line, Kind kind, Row* row, const char** why) {
  row->line = line;
  std::string_view rest = line;
  if (!take_column(&rest, &row->time)) {
    *why = "no columns";
    return false;
  }
  // Only the last column may hold commas, so the others are cut at the
  // first comma each and the last keeps the rest.
  const int count = kind == Kind::kSystem ? kSystemFieldCount : kFieldCount;
  for (int i = 0; i + 1 < count; ++i) {
    if (!take_column(&rest, &row->fields[i])) {
      *why = "too few columns";
      return false;
    }
  }
  row->fields[count - 1] = rest;
  CivilTime parts;
  if (!time_parts(row->time, &parts)) {
    // A stray mark or line break says more than the time it spoils.
    if (!has_foreign_bytes(line, why)) *why = "malformed time";
    return false;
  }
  // The bytes are checked only after the columns were found: most damaged
  // lines are cut short, and that is the cheaper test.
  return !has_foreign_bytes(line, why);
}

std::string_view result_word(std::string_view result) {
  const std::size_t end = result.find_first_of(" (");
  return end == std::string_view::npos ? result : result.substr(0, end);
}

int64_t RowTimeParser::parse(std::string_view time) {
  CivilTime c;
  if (!time_parts(time, &c)) return kNoTime;
  const int64_t wall = wall_seconds(c);
  const int64_t hour = wall - c.minute * 60 - c.second;
  if (hour != hour_wall_) {
    // Zones change their offset on the hour or half hour, never twice in
    // one, so an hour with the same single offset at both ends has it
    // throughout; any other hour is looked up row by row.
    const LocalInstants start = local_instants(hour);
    const LocalInstants end = local_instants(hour + 3599);
    if (start.first == start.last && end.first == end.last &&
        hour - start.first == hour + 3599 - end.first) {
      hour_wall_ = hour;
      hour_offset_ = hour - start.first;
    } else {
      hour_wall_ = kNoTime;
    }
  }
  if (hour_wall_ != kNoTime) {
    repeated_wall_ = kNoTime;
    second_occurrence_ = false;
    return wall - hour_offset_;
  }
  const LocalInstants at = local_instants(wall);
  if (at.first >= at.last) {  // one instant, or the end of a skipped hour
    repeated_wall_ = kNoTime;
    second_occurrence_ = false;
    return at.first;
  }
  if (repeated_wall_ != kNoTime && wall < repeated_wall_) {
    second_occurrence_ = true;
  }
  repeated_wall_ = wall;
  return second_occurrence_ ? at.last : at.first;
}

std::string rfc3339_time(int64_t t) {
  const time_t value = static_cast<time_t>(t);
  struct tm f;
  if (localtime_r(&value, &f) == nullptr) return std::string();
  const long offset = f.tm_gmtoff / 60;
  const long magnitude = offset < 0 ? -offset : offset;
  char text[64];
  (void)std::snprintf(
      text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld",
      f.tm_year + 1900, f.tm_mon + 1, f.tm_mday, f.tm_hour, f.tm_min, f.tm_sec,
      offset < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
  return text;
}

}  // namespace quillo_query
