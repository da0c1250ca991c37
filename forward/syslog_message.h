// RFC 5424 messages for the rows of the log files, and their RFC 6587
// octet-counted frames ("<length> <message>").
//
//   <134>1 2026-12-09T01:13:11+09:00 nas1 quillod 812 access
//   [quillo@32473 user="ann" host="pc1" ip="10.0.0.5" op="open_read"
//   result="ok" share="docs" path="a.txt"] 2026/12/09 01:13:11,ann,...
//
// Facility local0, severity info (notice for alert rows). MSGID is the
// kind's name and the parameter names are its column names, both from the
// kind table (logstore/log_kind.h). The structured data carries every
// column whole; MSG is the row's line as written to its file. Every message
// is valid UTF-8 (invalid bytes become U+FFFD) and at most
// kMaxSyslogMessage bytes: MSG is cut first (ending in "..."), then the
// longest column values.

#ifndef QUILLO_FORWARD_SYSLOG_MESSAGE_H_
#define QUILLO_FORWARD_SYSLOG_MESSAGE_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "logstore/log_row.h"

namespace quillo {

// The SD-ID of the one structured-data element (private enterprise form).
inline constexpr char kSyslogSdId[] = "quillo@32473";
inline constexpr char kSyslogAppName[] = "quillod";
// rsyslog's default maxMessageSize.
inline constexpr std::size_t kMaxSyslogMessage = 8192;
// Facility local0 (16) times 8, plus the severity.
inline constexpr int kPriorityInfo = 16 * 8 + 6;
inline constexpr int kPriorityNotice = 16 * 8 + 5;

// The sender's identity, fixed per daemon run.
struct SyslogOrigin {
  std::string hostname;  // as gethostname() gives it; "-" when empty
  pid_t pid = 0;
};

// gethostname() and getpid() of this process.
SyslogOrigin local_syslog_origin();

// The RFC 5424 message of `row`, written to its file as `line` (without
// byte order mark and line end), at most `limit` bytes. The time is the
// row's own in the local zone ("-" when it cannot be broken down).
std::string format_syslog_message(const LogRow& row, std::string_view line,
                                  const SyslogOrigin& origin,
                                  std::size_t limit = kMaxSyslogMessage);

// The message of a seal record made at `time`: MSGID "seal", no
// structured data, MSG the record's line (ASCII, well below the limit).
std::string format_seal_message(std::int64_t time, std::string_view record,
                                const SyslogOrigin& origin);

// "<decimal length of message> <message>".
std::string octet_counted_frame(const std::string& message);

}  // namespace quillo

#endif  // QUILLO_FORWARD_SYSLOG_MESSAGE_H_
