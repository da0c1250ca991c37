#include "forward/syslog_message.h"

#include <limits.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD
constexpr char kEllipsis[] = "...";

// Length of the valid UTF-8 sequence at `s[i]`, or 0 when it is not one.
// Overlong forms, surrogates and values past U+10FFFF are invalid.
std::size_t utf8_sequence(const std::string& s, std::size_t i) {
  const auto byte = [&](std::size_t k) {
    return static_cast<unsigned char>(s[k]);
  };
  const unsigned char b0 = byte(i);
  if (b0 < 0x80) return 1;
  std::size_t n;
  unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
  for (std::size_t k = 2; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  }
  return n;
}

// The longest prefix of valid UTF-8 `s` of at most `max` bytes that ends on
// a character boundary.
std::size_t utf8_cut(const std::string& s, std::size_t max) {
  if (max >= s.size()) return s.size();
  std::size_t end = max;
  while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) --end;
  return end;
}

// A parameter value with '"', '\' and ']' escaped by a backslash.
std::string escape_param(const std::string& value) {
  std::string out;
  out.reserve(value.size() + 8);
  for (char c : value) {
    if (c == '"' || c == '\\' || c == ']') out += '\\';
    out += c;
  }
  return out;
}

std::string structured_data(RowKind kind,
                            const std::vector<std::string>& values) {
  const std::vector<std::string>& names = row_field_names(kind);
  std::string sd = "[";
  sd += kSyslogSdId;
  for (std::size_t i = 0; i < names.size(); ++i) {
    sd += ' ';
    sd += names[i];
    sd += "=\"";
    if (i < values.size()) sd += escape_param(values[i]);
    sd += '"';
  }
  sd += ']';
  return sd;
}

}  // namespace

const std::vector<std::string>& row_field_names(RowKind kind) {
  static const std::vector<std::string> system{"text1", "text2", "text3"};
  static const std::vector<std::string> access{"user",   "host",  "ip",  "op",
                                               "result", "share", "path"};
  return kind == RowKind::kSystem ? system : access;
}

const char* row_kind_name(RowKind kind) {
  switch (kind) {
    case RowKind::kSystem:
      return "system";
    case RowKind::kAccess:
      return "access";
    case RowKind::kAlert:
      return "alert";
  }
  return "system";
}

SyslogOrigin local_syslog_origin() {
  SyslogOrigin origin;
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof(name) - 1) == 0) origin.hostname = name;
  if (origin.hostname.empty()) origin.hostname = "-";
  origin.pid = ::getpid();
  return origin;
}

std::string valid_utf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = utf8_sequence(text, i);
    if (n == 0) {
      out += kReplacement;
      ++i;
    } else {
      out.append(text, i, n);
      i += n;
    }
  }
  return out;
}

std::string rfc3339_local_time(int64_t t) {
  const time_t when = static_cast<time_t>(t);
  struct tm tm {};
  if (localtime_r(&when, &tm) == nullptr) return "-";
  char buf[64];
  const long offset_minutes = tm.tm_gmtoff / 60;
  const long abs_minutes =
      offset_minutes < 0 ? -offset_minutes : offset_minutes;
  std::snprintf(buf, sizeof(buf), "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld",
                tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                tm.tm_min, tm.tm_sec, offset_minutes < 0 ? '-' : '+',
                abs_minutes / 60, abs_minutes % 60);
  return buf;
}

std::string format_syslog_message(const WrittenRow& row,
                                  const SyslogOrigin& origin,
                                  std::size_t limit) {
  const int priority =
      row.kind == RowKind::kAlert ? kPriorityNotice : kPriorityInfo;
  std::string header = "<" + std::to_string(priority) + ">1 " +
                       rfc3339_local_time(row.time) + " " + origin.hostname +
                       " " + kSyslogAppName + " " + std::to_string(origin.pid) +
                       " " + row_kind_name(row.kind) + " ";
  std::vector<std::string> values;
  values.reserve(row.fields.size());
  for (const std::string& field : row.fields)
    values.push_back(valid_utf8(field));
  std::string sd = structured_data(row.kind, values);
  std::string msg = valid_utf8(row.csv);

  // The structured data holds every field whole, so MSG gives way first.
  const std::size_t fixed = header.size() + sd.size() + 1;
  if (fixed + msg.size() > limit) {
    const std::size_t room = limit > fixed + 3 ? limit - fixed - 3 : 0;
    msg.resize(utf8_cut(msg, room));
    msg += kEllipsis;
  }
  // Fields too long even for a bare "...": the longest value is cut until
  // the message fits (each pass cuts at least one byte or ends).
  while (header.size() + sd.size() + 1 + msg.size() > limit) {
    auto longest =
        std::max_element(values.begin(), values.end(),
                         [](const std::string& a, const std::string& b) {
                           return a.size() < b.size();
                         });
    if (longest == values.end() || longest->size() <= 6) break;
    const std::size_t over = header.size() + sd.size() + 1 + msg.size() - limit;
    // The cut pays for the "..." added back; values of 6 bytes or fewer
    // are left, so every pass shortens the message.
    const std::size_t cut = std::min(longest->size() - 3, over + 3);
    const std::size_t keep = utf8_cut(*longest, longest->size() - cut);
    longest->resize(keep);
    *longest += kEllipsis;
    sd = structured_data(row.kind, values);
  }
  std::string message;
  message.reserve(header.size() + sd.size() + 1 + msg.size());
  message += header;
  message += sd;
  message += ' ';
  message += msg;
  return message;
}

std::string octet_counted_frame(const std::string& message) {
  std::string frame = std::to_string(message.size());
  frame += ' ';
  frame += message;
  return frame;
}
