#include "logstore/file_name.h"

#include "logstore/log_names.h"

namespace quillo {
namespace {

bool all_digits(std::string_view s) {
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return !s.empty();
}

int number(std::string_view s) {
  int value = 0;
  for (char c : s) value = value * 10 + (c - '0');
  return value;
}

}  // namespace

std::string log_file_name(LogKind kind, std::int64_t t) {
  const LogKindInfo& info = kind_info(kind);
  return info.prefix + format_file_stamp(t) + info.suffix;
}

std::string month_folder_name(std::int64_t t) { return format_month_dir(t); }

bool parse_month_folder_name(std::string_view name, std::int64_t* year,
                             int* month) {
  if (name.size() != 6 || !all_digits(name)) return false;
  const int y = number(name.substr(0, 4));
  const int m = number(name.substr(4, 2));
  if (y < 1000 || m < 1 || m > 12) return false;
  *year = y;
  *month = m;
  return true;
}

bool parse_log_file_name(std::string_view name, LogKind kind,
                         RowTimeFields* stamp) {
  const LogKindInfo& info = kind_info(kind);
  const std::string_view prefix(info.prefix);
  const std::string_view suffix(info.suffix);
  constexpr std::size_t kStampLength = 14;
  if (name.size() != prefix.size() + kStampLength + suffix.size() ||
      name.substr(0, prefix.size()) != prefix ||
      name.substr(prefix.size() + kStampLength) != suffix) {
    return false;
  }
  const std::string_view s = name.substr(prefix.size(), kStampLength);
  if (!all_digits(s)) return false;
  // The stamp as a row time, so that one calendar check serves both.
  std::string time;
  time.append(s.substr(0, 4)).append("/").append(s.substr(4, 2));
  time.append("/").append(s.substr(6, 2)).append(" ").append(s.substr(8, 2));
  time.append(":").append(s.substr(10, 2)).append(":").append(s.substr(12, 2));
  RowTimeFields fields;
  if (!parse_row_time(time, &fields) || fields.year < 1000) return false;
  *stamp = fields;
  return true;
}

}  // namespace quillo
