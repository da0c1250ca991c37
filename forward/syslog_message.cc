#include "forward/syslog_message.h"

#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "base/rfc3339.h"
#include "base/utf8.h"
#include "logstore/log_kind.h"

namespace quillo {
namespace {

constexpr char kEllipsis[] = "...";
constexpr std::size_t kEllipsisSize = sizeof(kEllipsis) - 1;

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
  return base::utf8_prefix(value, end);
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

std::string structured_data(LogKind kind,
                            const std::vector<std::string>& values) {
  const LogKindInfo& info = kind_info(kind);
  std::string sd = "[";
  sd += kSyslogSdId;
  for (std::size_t i = 0; i < info.column_count; ++i) {
    sd += ' ';
    sd += info.columns[i];
    sd += "=\"";
    if (i < values.size()) sd += escape_param(values[i]);
    sd += '"';
  }
  sd += ']';
  return sd;
}

// "<PRI>1 TIMESTAMP HOSTNAME APP-NAME PROCID MSGID ".
std::string message_header(const LogRow& row, const SyslogOrigin& origin) {
  const int priority =
      row.kind == LogKind::kAlert ? kPriorityNotice : kPriorityInfo;
  std::string time = base::rfc3339_local_time(row.time);
  if (time.empty()) time = "-";
  return "<" + std::to_string(priority) + ">1 " + time + " " + origin.hostname +
         " " + kSyslogAppName + " " + std::to_string(origin.pid) + " " +
         kind_info(row.kind).name + " ";
}

// The parts of a message while it is cut to its limit.
struct Parts {
  std::string header;
  std::vector<std::string> values;  // the columns, valid UTF-8
  std::string sd;
  std::string msg;

  std::size_t size() const {
    return header.size() + sd.size() + 1 + msg.size();
  }
};

// The structured data holds every column whole, so MSG gives way first,
// cut to the byte where the message fills the limit. A MSG of 3 bytes or
// fewer is left: "..." would not shorten it.
void shorten_msg(Parts* p, std::size_t limit) {
  const std::size_t fixed = p->header.size() + p->sd.size() + 1;
  if (fixed + p->msg.size() <= limit || p->msg.size() <= kEllipsisSize) return;
  const std::size_t room =
      limit > fixed + kEllipsisSize ? limit - fixed - kEllipsisSize : 0;
  p->msg.resize(base::utf8_prefix(p->msg, room));
  p->msg += kEllipsis;
}

// Columns too long even then: the longest value (escaped) is cut so that
// the message fills the limit, short of it by less than one escaped
// character, or to a bare "..." when that is not enough, and the next
// longest is cut in turn. Every pass shortens a value and lengthens none;
// values of 3 escaped bytes or fewer are left.
void shorten_values(LogKind kind, Parts* p, std::size_t limit) {
  for (std::size_t total = p->size(); total > limit; total = p->size()) {
    auto longest =
        std::max_element(p->values.begin(), p->values.end(),
                         [](const std::string& a, const std::string& b) {
                           return escaped_size(a) < escaped_size(b);
                         });
    if (longest == p->values.end()) break;
    const std::size_t size = escaped_size(*longest);
    if (size <= kEllipsisSize) break;
    const std::size_t over = total - limit;
    const std::size_t room =
        size > over + kEllipsisSize ? size - over - kEllipsisSize : 0;
    longest->resize(escaped_cut(*longest, room));
    *longest += kEllipsis;
    p->sd = structured_data(kind, p->values);
  }
}

}  // namespace

SyslogOrigin local_syslog_origin() {
  SyslogOrigin origin;
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof(name) - 1) == 0) origin.hostname = name;
  if (origin.hostname.empty()) origin.hostname = "-";
  origin.pid = ::getpid();
  return origin;
}

std::string format_syslog_message(const LogRow& row, std::string_view line,
                                  const SyslogOrigin& origin,
                                  std::size_t limit) {
  Parts p;
  p.header = message_header(row, origin);
  p.values.reserve(row.columns.size());
  for (const std::string& column : row.columns) {
    p.values.push_back(base::repair_utf8(column));
  }
  p.sd = structured_data(row.kind, p.values);
  p.msg = base::repair_utf8(line);
  shorten_msg(&p, limit);
  shorten_values(row.kind, &p, limit);
  std::string message;
  message.reserve(p.size());
  message += p.header;
  message += p.sd;
  message += ' ';
  message += p.msg;
  return message;
}

std::string format_seal_message(std::int64_t time, std::string_view record,
                                const SyslogOrigin& origin) {
  std::string stamp = base::rfc3339_local_time(time);
  if (stamp.empty()) stamp = "-";
  std::string message = "<" + std::to_string(kPriorityInfo) + ">1 " + stamp +
                        " " + origin.hostname + " " + kSyslogAppName + " " +
                        std::to_string(origin.pid) + " seal - ";
  message.append(record);
  return message;
}

std::string octet_counted_frame(const std::string& message) {
  std::string frame = std::to_string(message.size());
  frame += ' ';
  frame += message;
  return frame;
}

}  // namespace quillo
