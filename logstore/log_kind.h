// The one table of the log kinds. Everything a kind is called anywhere (its
// folder, its file names, its state file, its columns, its name on the
// wire) is read from here:
//
//   kind     folder      files                      state file   MSGID
//   system   systemlog/  system_YYYYMMDDhhmmss.csv  system_info  system
//   access   accesslog/  access_YYYYMMDDhhmmss.csv  access_info  access
//   alert    alertlog/   alert_YYYYMMDDhhmmss.csv   alert_info   alert
//
// A new kind is a new enumerator and a new row of the table (log_kind.cc);
// the writer, the reader, auto-delete and forwarding take it from there.

#ifndef QUILLO_LOGSTORE_LOG_KIND_H_
#define QUILLO_LOGSTORE_LOG_KIND_H_

#include <array>
#include <cstddef>
#include <optional>
#include <string_view>

namespace quillo {

enum class LogKind { kSystem, kAccess, kAlert };

inline constexpr std::array<LogKind, 3> kLogKinds = {
    LogKind::kSystem, LogKind::kAccess, LogKind::kAlert};

// Columns after the time; the last one may hold commas.
inline constexpr std::size_t kMaxColumns = 7;

struct LogKindInfo {
  LogKind kind;
  const char* name;        // "access": the kind's word (options, MSGID)
  const char* folder;      // "accesslog": below the log root
  const char* prefix;      // "access_": file names
  const char* suffix;      // ".csv"
  const char* state_name;  // "access_info": below the state folder
  // Rows carry the sender's time, not the daemon's clock: they need not
  // come in time order, so only the month folders bound them and a reader
  // sorts each month.
  bool sender_time;
  bool auto_delete;  // old files are removed when the volume runs full
  std::size_t column_count;             // after the time
  const char* columns[kMaxColumns];     // "user", "host"...
};

const LogKindInfo& kind_info(LogKind kind);

// The kind whose name() is `name`; none for any other word.
std::optional<LogKind> kind_named(std::string_view name);

// Access and alert rows: the columns after the time, in file order.
enum AccessColumn : std::size_t {
  kUser = 0,
  kHost,
  kIp,
  kOperation,
  kResult,
  kShare,
  kPath,
  kAccessColumnCount
};
// System rows: three texts.
inline constexpr std::size_t kSystemColumnCount = 3;

}  // namespace quillo

#endif  // QUILLO_LOGSTORE_LOG_KIND_H_
