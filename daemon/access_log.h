// The access-log handler: filters an access record (logging switch, the
// "IPC$" share, the share list), hands its row to the log store's access
// log and the access to the alert check.
//
// In two steps for a batch of rows: prepare() decides and builds the row,
// the caller writes it (with others, LogStore::write_batch), finish()
// counts it and checks the alert conditions of a row that was written.
//
// Main thread only.

#ifndef QUILLO_DAEMON_ACCESS_LOG_H_
#define QUILLO_DAEMON_ACCESS_LOG_H_

#include <cstdint>
#include <optional>
#include <string>

#include "daemon/handler_stats.h"
#include "logstore/log_row.h"
#include "logstore/log_store.h"
#include "protocol/packet.h"

namespace quillo {

class AlertEngine;
class ConfigXml;

// The derived values of one access, as the row and the alert check use
// them.
struct AccessValues {
  std::string user;         // user_name, ASCII letters lowered
  std::string operation;    // operation + "_read"/"_write" from the path prefix
  std::string result;       // "ok" or "fail (<error text>)"
  std::string result_word;  // "ok" or "fail"
  std::string path;         // path without "r|"/"w|", "." -> share name
};

AccessValues derive_access_values(const ReqAccessLog& record);

// The access row of `record` at time `now`: user host ip op result share
// path, as derive_access_values() makes them.
LogRow access_row(std::int64_t now, const ReqAccessLog& record,
                  const AccessValues& values);

class AccessLogHandler {
 public:
  // Writes through `store`, hands each written access to the alert check
  // `alerts` and counts into `stats`; all three must outlive the handler.
  AccessLogHandler(LogStore& store, AlertEngine& alerts, HandlerStats& stats);

  // Handles one well-formed record at the daemon's clock. Returns false when
  // its row could not be written: the record was not stored and no alert
  // was checked (the caller's retry will do both); true when it was
  // written, or dropped by the settings. Raises the configuration's errors
  // (log root or auto-delete element missing).
  bool handle(const ReqAccessLog& record, ConfigXml& config);

  // The same at time `now` (tests).
  bool handle_at(int64_t now, const ReqAccessLog& record, ConfigXml& config);

  // The row of one well-formed record at time `now`, for the caller to
  // write; none when the settings drop the record (counted). Hands the log
  // root and auto-delete settings of `config` to the store. Raises the
  // configuration's errors (log root or auto-delete element missing).
  std::optional<LogRow> prepare(int64_t now, const ReqAccessLog& record,
                                ConfigXml& config);

  // After the row from prepare() was written (`written`) or not: counts it
  // and, when written, checks it against the alert conditions. Returns
  // `written`: false means the record was not stored and no alert was
  // checked (the client's retry brings both).
  bool finish(const LogRow& row, bool written, int64_t now, ConfigXml& config);

  // The alert check's writer: appends `copies` lines of `row` (kind alert)
  // to the alert log below `config`'s log root, in one pass. Returns how
  // many reached the file. Raises the configuration's error when the log
  // root cannot be read.
  std::size_t write_alert_row(const LogRow& row, std::size_t copies,
                              ConfigXml& config);

 private:
  LogStore& store_;
  AlertEngine& alerts_;
  HandlerStats& stats_;
};

}  // namespace quillo

#endif  // QUILLO_DAEMON_ACCESS_LOG_H_
