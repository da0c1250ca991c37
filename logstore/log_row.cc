#include "logstore/log_row.h"

#include <cstring>

#include "logstore/log_names.h"

namespace quillo {
namespace {

// "/MM/DD hh:mm:ss": the separators are counted from the end, since the
// year has as many digits as it needs.
constexpr std::size_t kTailLength = 15;
constexpr std::size_t kMaxYearDigits = 9;

bool digits(std::string_view s, std::size_t pos, std::size_t len,
            std::int64_t* out) {
  std::int64_t value = 0;
  for (std::size_t i = pos; i < pos + len; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    value = value * 10 + (s[i] - '0');
  }
  *out = value;
  return true;
}

bool digits(std::string_view s, std::size_t pos, std::size_t len, int* out) {
  std::int64_t value = 0;
  if (!digits(s, pos, len, &value)) return false;
  *out = static_cast<int>(value);
  return true;
}

int days_in_month(std::int64_t year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
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

// Bytes the writer never leaves in a row. A byte order mark inside a column
// is a client's bytes like any other; one that begins a line is another
// file's mark, pasted in.
bool has_foreign_bytes(std::string_view line, const char** why) {
  // Lines are cut at LF, so a CR is the only line break left.
  if (std::memchr(line.data(), '\r', line.size()) != nullptr) {
    *why = "line break inside the row";
    return true;
  }
  if (line.substr(0, kByteOrderMarkSize) == kByteOrderMark) {
    *why = "byte order mark inside the row";
    return true;
  }
  return false;
}

}  // namespace

void append_column(std::string& line, std::string_view column) {
  if (!line.empty()) line += ',';
  for (char c : column) {
    if (c == '\r') {
      line += "#015";
    } else if (c == '\n') {
      line += "#012";
    } else {
      line += c;
    }
  }
}

std::string encode_row(const LogRow& row) {
  std::string line = format_log_time(row.time);
  const std::size_t count = kind_info(row.kind).column_count;
  for (std::size_t i = 0; i < count; ++i) {
    append_column(line,
                  i < row.columns.size() ? row.columns[i] : std::string_view());
  }
  return line;
}

std::string unescape_column(std::string_view stored) {
  std::string out;
  out.reserve(stored.size());
  for (std::size_t i = 0; i < stored.size(); ++i) {
    if (stored[i] == '#' && stored.substr(i + 1, 3) == "015") {
      out += '\r';
      i += 3;
    } else if (stored[i] == '#' && stored.substr(i + 1, 3) == "012") {
      out += '\n';
      i += 3;
    } else {
      out += stored[i];
    }
  }
  return out;
}

bool parse_row_time(std::string_view time, RowTimeFields* c) {
  if (time.size() <= kTailLength || time.size() > kTailLength + kMaxYearDigits) {
    return false;
  }
  const std::size_t y = time.size() - kTailLength;
  if (!digits(time, 0, y, &c->year) || time[y] != '/' ||
      !digits(time, y + 1, 2, &c->month) || time[y + 3] != '/' ||
      !digits(time, y + 4, 2, &c->day) || time[y + 6] != ' ' ||
      !digits(time, y + 7, 2, &c->hour) || time[y + 9] != ':' ||
      !digits(time, y + 10, 2, &c->minute) || time[y + 12] != ':' ||
      !digits(time, y + 13, 2, &c->second)) {
    return false;
  }
  return c->month >= 1 && c->month <= 12 && c->day >= 1 &&
         c->day <= days_in_month(c->year, c->month) && c->hour <= 23 &&
         c->minute <= 59 && c->second <= 60;
}

bool decode_row(std::string_view line, LogKind kind, RowView* row,
                const char** why) {
  row->line = line;
  row->column_count = 0;
  std::string_view rest = line;
  if (!take_column(&rest, &row->time)) {
    *why = "no columns";
    return false;
  }
  // Only the last column may hold commas, so the others are cut at the
  // first comma each and the last keeps the rest.
  const std::size_t count = kind_info(kind).column_count;
  for (std::size_t i = 0; i + 1 < count; ++i) {
    if (!take_column(&rest, &row->columns[i])) {
      *why = "too few columns";
      return false;
    }
  }
  row->columns[count - 1] = rest;
  row->column_count = count;
  RowTimeFields parts;
  if (!parse_row_time(row->time, &parts)) {
    // A stray mark or line break says more than the time it spoils.
    if (!has_foreign_bytes(line, why)) *why = "malformed time";
    return false;
  }
  // The bytes are checked only after the columns were found: most damaged
  // lines are cut short, and that is the cheaper test.
  return !has_foreign_bytes(line, why);
}

}  // namespace quillo
