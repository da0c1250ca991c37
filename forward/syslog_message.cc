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
constexpr std::size_t kEllipsisSize = sizeof(kEllipsis) - 1;

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

bool needs_escape(char c) { return c == '"' || c == '\\' || c == ']'; }

// The size of `value` once escape_param() has escaped it.
std::size_t escaped_size(const std::string& value) {
  return value.size() + static_cast<std::size_t>(std::count_if(
                            value.begin(), value.end(), needs_escape));
}

// The longest prefix of valid UTF-8 `value` that ends on a character
// boundary and takes at most `room` bytes escaped.
std::size_t escaped_cut(const std::string& value, std::size_t room) {
  std::size_t used = 0;
  std::size_t end = 0;
  for (; end < value.size(); ++end) {
    used += needs_escape(value[end]) ? 2 : 1;
    if (used > room) break;
  }
  // Escaped characters are single bytes: only a multi-byte one is cut.
  return utf8_cut(value, end);
}

// A parameter value with '"', '\' and ']' escaped by a backslash.
std::string escape_param(const std::string& value) {
  std::string out;
  out.reserve(value.size() + 8);
  for (char c : value) {
    if (needs_escape(c)) out += '\\';
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

  // The structured data holds every field whole, so MSG gives way first,
  // cut to the byte where the message fills the limit. A MSG of 3 bytes or
  // fewer is left: "..." would not shorten it.
  const std::size_t fixed = header.size() + sd.size() + 1;
  if (fixed + msg.size() > limit && msg.size() > kEllipsisSize) {
    const std::size_t room =
        limit > fixed + kEllipsisSize ? limit - fixed - kEllipsisSize : 0;
    msg.resize(utf8_cut(msg, room));
    msg += kEllipsis;
  }
  // Fields too long even then: the longest value (escaped) is cut so that
  // the message fills the limit, short of it by less than one escaped
  // character, or to a bare "..." when that is not enough, and the next
  // longest is cut in turn. Every pass shortens a value and lengthens none;
  // values of 3 escaped bytes or fewer are left.
  for (std::size_t total = header.size() + sd.size() + 1 + msg.size();
       total > limit; total = header.size() + sd.size() + 1 + msg.size()) {
    auto longest =
        std::max_element(values.begin(), values.end(),
                         [](const std::string& a, const std::string& b) {
                           return escaped_size(a) < escaped_size(b);
                         });
    if (longest == values.end()) break;
    const std::size_t size = escaped_size(*longest);
    if (size <= kEllipsisSize) break;
    const std::size_t over = total - limit;
    const std::size_t room =
        size > over + kEllipsisSize ? size - over - kEllipsisSize : 0;
    longest->resize(escaped_cut(*longest, room));
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
