// Command line of quillo-query:
//
//   quillo-query [--root DIR] [--kind system|access|alert]
//                [--since TIME] [--until TIME] [--FIELD PATTERN]...
//                [--not-FIELD PATTERN]... [--result ok|fail]
//                [--output csv|json|table] [--follow [--lines N]]
//                [--count-by FIELD]
//   quillo-query --setup-keys
//   quillo-query --verify [--verify-key KEY] [--kind K] [--since TIME]
//                [--until TIME] [--root DIR]
//
// Every option also takes its value as "--option=value".

#ifndef QUILLO_QUERY_QUERY_OPTIONS_H_
#define QUILLO_QUERY_QUERY_OPTIONS_H_

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "logstore/log_kind.h"
#include "reader/log_query.h"

namespace quillo {

// A command line that cannot be run; what() says why.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class Output { kCsv, kJson, kTable };

// What the command line asks for: rows (the default), the sealing key
// (--setup-keys) or the check of the seals (--verify,
// query/seal_verify.h).
enum class Mode { kQuery, kSetupKeys, kVerify };

// The columns --FIELD and --count-by name are the access columns, numbered
// as AccessColumn; --count-by also takes the hour or the day of the row.
inline constexpr int kFieldCount = static_cast<int>(kAccessColumnCount);
inline constexpr int kByHour = kFieldCount;
inline constexpr int kByDay = kFieldCount + 1;

struct QueryOptions {
  Mode mode = Mode::kQuery;
  std::string root;  // --root; empty: the configuration's log root
  LogKind kind = LogKind::kAccess;
  bool has_kind = false;  // --verify checks every kind without --kind
  std::string verify_key;  // --verify-key, as given; empty: none
  // Inclusive bounds in seconds since the epoch.
  int64_t since = std::numeric_limits<int64_t>::min();
  int64_t until = std::numeric_limits<int64_t>::max();
  bool has_since = false;
  std::vector<FieldFilter> filters;
  Output output = Output::kCsv;
  bool follow = false;
  int lines = 10;     // rows shown before following without --since
  int count_by = -1;  // an AccessColumn, kByHour or kByDay; -1: no summary
  bool help = false;
  // Standard output is a terminal (set by main, not by an option): CSV
  // rows are shown escaped rather than as stored.
  bool terminal = false;
};

// Parses the arguments after the program name; relative times are taken
// from `now`. Raises UsageError for an unknown option, a missing or bad
// value, or options that do not combine (--setup-keys takes no other;
// --verify takes --verify-key, --kind, --since, --until and --root).
QueryOptions parse_query_options(const std::vector<std::string>& args,
                                 int64_t now);

// Which bound a time is given for.
enum class TimeBound { kSince, kUntil };

// A point in local time from the forms --since and --until take:
// "YYYY-MM-DD" (00:00:00 of that day), "YYYY-MM-DD hh:mm[:ss]" (also with
// "T" for the space), "now", "today", "yesterday", and "-N" followed by
// "s", "m", "h" or "d" (N seconds, minutes, hours or days before `now`).
// A calendar time inside the hour the clocks repeat stands for its first
// occurrence as a --since, its second as an --until; one inside the hour
// they skip, for the moment they jumped. Raises UsageError for anything
// else, and for a day or time the calendar does not have.
int64_t parse_time_arg(const std::string& text, int64_t now,
                       TimeBound bound = TimeBound::kSince);

// The usage text for --help.
const char* usage_text();

// The reader's query for `options`; JSON output asks for each row's instant.
LogQuery log_query(const QueryOptions& options);

// The log root the daemon writes to: the one of its configuration, found
// by the QUILLO_ROOT rule. Raises the configuration's error.
std::string configured_log_root();

}  // namespace quillo

#endif  // QUILLO_QUERY_QUERY_OPTIONS_H_
