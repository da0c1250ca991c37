// RFC 5424 messages for the rows of the log files, and their RFC 6587
// octet-counted frames ("<length> <message>").
//
//   <134>1 2026-12-09T01:13:11+09:00 nas1 quillod 812 access
//   [quillo@32473 user="ann" host="pc1" ip="10.0.0.5" op="open_read"
//   result="ok" share="docs" path="a.txt"] 2026/12/09 01:13:11,ann,...
//
// Facility local0, severity info (notice for alert rows). The structured
// data carries every field whole; MSG is the CSV row. Every message is valid
// UTF-8 (invalid bytes become U+FFFD) and at most kMaxSyslogMessage bytes:
// MSG is cut first (ending in "..."), then the longest field values.

#ifndef QUILLO_FORWARD_SYSLOG_MESSAGE_H_
#define QUILLO_FORWARD_SYSLOG_MESSAGE_H_

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "forward/row_sink.h"

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

// `text` with every byte sequence that is not valid UTF-8 replaced by
// U+FFFD (one per maximal invalid sequence start byte).
std::string valid_utf8(const std::string& text);

// `t` as an RFC 3339 time in the local zone, whole seconds, with the
// numeric offset: "2026-12-09T01:13:11+09:00".
std::string rfc3339_local_time(int64_t t);

// The RFC 5424 message of `row`, at most `limit` bytes.
std::string format_syslog_message(const WrittenRow& row,
                                  const SyslogOrigin& origin,
                                  std::size_t limit = kMaxSyslogMessage);

// "<decimal length of message> <message>".
std::string octet_counted_frame(const std::string& message);

#endif  // QUILLO_FORWARD_SYSLOG_MESSAGE_H_
