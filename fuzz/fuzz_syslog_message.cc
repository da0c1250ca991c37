// Fuzzes the RFC 5424 message made for each forwarded row. The message
// must be at most the limit, valid UTF-8 (GLib's check) and readable by a
// strict RFC 5424 reader (fuzz/rfc5424_reader.h) as: PRI 134 (133 for an
// alert row), version 1, the row's own time with its offset, the origin's
// host name and PID, APP-NAME quillod, the kind as MSGID, one element
// [quillo@32473 ...] with the kind's fields by name in order, and MSG.
// Every value and MSG is the row's text with invalid UTF-8 repaired (GLib's
// g_utf8_make_valid: one U+FFFD per byte that starts no character) or, when
// the whole message would pass the limit, the cut the builder documents:
// MSG gives way first, to the longest head on a character boundary that
// fits followed by "..." (a MSG of 3 bytes or fewer stays); only once MSG
// has given way are values cut, longest escaped size first and never one
// of 3 escaped bytes or fewer, each to a head on a character boundary
// followed by "...", and the cut that makes the message fit fills the
// limit to within one character.
//
// Input: byte 0 picks the kind (bits 0-1), the zone (bit 2: UTC or
// Europe/Berlin), the host name (bit 3) and the limit (bits 4-7: 0 is the
// daemon's 8192, n gives 512 + 256 n, so short inputs reach the cuts);
// bytes 1-4 the time (a signed 32-bit number, the range the daemon keeps
// row times to); the rest the fields, separated by NUL, then the CSV row
// (without NUL, and never empty: rows are C strings and start with their
// time).

#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/local_fields.h"
#include "forward/syslog_message.h"
#include "fuzz/rfc5424_reader.h"
#include "fuzz/utf8_oracle.h"

namespace {

using quillo::LogKind;
using quillo::LogRow;

const std::vector<std::string> kSystemNames{"text1", "text2", "text3"};
const std::vector<std::string> kAccessNames{"user",   "host",  "ip",  "op",
                                            "result", "share", "path"};

bool boundary(const std::string& s, std::size_t i) {
  return i == s.size() || (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80;
}

// `got` is a head of `whole` on a character boundary, shorter than it,
// followed by "..."; its head's length is returned in `*head`.
bool is_cut(const std::string& whole, const std::string& got,
            std::size_t* head) {
  if (got.size() < 3 || got.compare(got.size() - 3, 3, "...") != 0) {
    return false;
  }
  *head = got.size() - 3;
  return *head < whole.size() && whole.compare(0, *head, got, 0, *head) == 0 &&
         boundary(whole, *head);
}

// The size of `value` as a PARAM-VALUE: '"', '\\' and ']' take two bytes.
std::size_t escaped_size(const std::string& value) {
  std::size_t n = value.size();
  for (char c : value) n += c == '"' || c == '\\' || c == ']';
  return n;
}

// The escaped size of the character at `s[i]`.
std::size_t next_char(const std::string& s, std::size_t i) {
  std::size_t end = i + 1;
  while (!boundary(s, end)) ++end;
  return escaped_size(s.substr(i, end - i));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  static const LogKind kKinds[] = {LogKind::kSystem, LogKind::kAccess,
                                   LogKind::kAlert, LogKind::kAccess};
  static const char* const kMsgIds[] = {"system", "access", "alert",
                                        "access"};
  LogRow row;
  row.kind = kKinds[data[0] & 3];
  setenv("TZ", data[0] & 4 ? "Europe/Berlin" : "UTC", 1);
  base::reload_time_zone();
  const quillo::SyslogOrigin origin{data[0] & 8 ? "nas1.example" : "-", 812};
  const std::size_t steps = data[0] >> 4;
  const std::size_t limit =
      steps == 0 ? quillo::kMaxSyslogMessage : 512 + 256 * steps;
  int32_t time;
  std::memcpy(&time, data + 1, sizeof time);
  row.time = time;
  const std::vector<std::string>& names =
      row.kind == LogKind::kSystem ? kSystemNames : kAccessNames;
  std::string rest(reinterpret_cast<const char*>(data + 5), size - 5);
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::size_t nul = rest.find('\0');
    row.columns.push_back(rest.substr(0, nul));
    rest = nul == std::string::npos ? "" : rest.substr(nul + 1);
  }
  rest.erase(std::remove(rest.begin(), rest.end(), '\0'), rest.end());
  if (rest.empty()) return 0;  // a row has at least its time column
  const std::string line = rest;

  const std::string message =
      quillo::format_syslog_message(row, line, origin, limit);
  if (message.size() > limit) abort();
  if (!is_valid_utf8(message)) abort();
  Rfc5424Message m;
  if (!read_rfc5424(message, &m)) abort();
  if (m.priority != (row.kind == LogKind::kAlert ? 133 : 134) ||
      m.version != 1 || m.hostname != origin.hostname ||
      m.app_name != "quillod" || m.procid != "812" ||
      m.msgid != kMsgIds[data[0] & 3] || m.timestamp == "-") {
    abort();
  }
  struct tm fields {};
  fields.tm_year = m.year - 1900;
  fields.tm_mon = m.month - 1;
  fields.tm_mday = m.day;
  fields.tm_hour = m.hour;
  fields.tm_min = m.minute;
  fields.tm_sec = m.second;
  if (static_cast<int64_t>(timegm(&fields)) - m.offset_seconds != row.time) {
    abort();
  }
  if (m.elements.size() != 1 || m.elements[0].id != "quillo@32473" ||
      m.elements[0].params.size() != names.size() || !m.has_msg) {
    abort();
  }

  const std::string msg = repaired_utf8(line);
  std::size_t head = 0;
  const bool msg_cut = m.msg != msg;
  if (msg_cut && !is_cut(msg, m.msg, &head)) abort();
  // Values are cut only once MSG has given way as far as it can.
  const bool msg_gone = m.msg == "..." || (!msg_cut && msg.size() <= 3);
  std::size_t longest_whole = 0, shortest_cut = SIZE_MAX, cuts = 0;
  std::size_t filled = 0;  // the head of a value cut short of the limit
  std::string filled_whole;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const auto& [name, value] = m.elements[0].params[i];
    const std::string whole = repaired_utf8(row.columns[i]);
    if (name != names[i]) abort();
    std::size_t value_head;
    if (value == whole) {
      longest_whole = std::max(longest_whole, escaped_size(whole));
    } else if (msg_gone && escaped_size(whole) > 3 &&
               is_cut(whole, value, &value_head)) {
      shortest_cut = std::min(shortest_cut, escaped_size(whole));
      ++cuts;
      if (value_head > 0) {
        filled = value_head;
        filled_whole = whole;
      }
    } else {
      abort();
    }
  }
  if (shortest_cut < longest_whole) abort();  // the longest value goes first
  // The cut that made the message fit fills the limit: one more character
  // of its text would not fit.
  if (msg_cut && cuts == 0 && message.size() + next_char(msg, head) <= limit) {
    abort();
  }
  if (cuts == 1 && filled > 0 &&
      message.size() + next_char(filled_whole, filled) <= limit) {
    abort();
  }
  return 0;
}
