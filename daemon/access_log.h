// The access-log handler: filters an access record (logging switch, the
// "IPC$" share, the share list), writes its 8-column row to the access log
// and hands the access to the alert check.
//
// Main thread only.

#ifndef QUILLO_DAEMON_ACCESS_LOG_H_
#define QUILLO_DAEMON_ACCESS_LOG_H_

#include <cstdint>
#include <string>

#include "daemon/handler_stats.h"
#include "forward/row_sink.h"
#include "logstore/log_row.h"
#include "protocol/packet.h"

namespace quillo {
class AlertEngine;
class ConfigXml;
}  // namespace quillo

// The derived values of one access, as the row and the alert check use
// them.
struct AccessValues {
  std::string user;         // user_name, ASCII letters lowered
  std::string operation;    // operation + "_read"/"_write" from the path prefix
  std::string result;       // "ok" or "fail (<error text>)"
  std::string result_word;  // "ok" or "fail"
  std::string path;         // path without "r|"/"w|", "." -> share name
};

AccessValues derive_access_values(const quillo::ReqAccessLog& record);

class AccessLogHandler {
 public:
  // Keeps its state file in `state_dir`, hands each written access to the
  // alert check `alerts` and counts into `stats`; both must outlive the
  // handler.
  AccessLogHandler(std::string state_dir, quillo::AlertEngine& alerts,
                   HandlerStats& stats);

  // Handles one well-formed record at the daemon's clock. Returns false when
  // its row could not be written: the record was not stored and no alert
  // was checked (the caller's retry will do both); true when it was
  // written, or dropped by the settings. Raises the configuration's errors
  // (log root or auto-delete element missing).
  bool handle(const quillo::ReqAccessLog& record, quillo::ConfigXml& config);

  // The same at time `now` (tests).
  bool handle_at(int64_t now, const quillo::ReqAccessLog& record,
                 quillo::ConfigXml& config);

  // The alert check's writer: appends `row` (kind alert) to the alert log
  // of `config`'s log root, offered to the row sink around its write. True
  // when it reached the file. Raises the configuration's error when the
  // log root cannot be read.
  bool write_alert_row(const quillo::LogRow& row, quillo::ConfigXml& config);

  // Hands every access and alert row written from now on to `sink` (null:
  // to none), which must outlive the handler.
  void set_row_sink(RowSink* sink) { sink_ = sink; }

 private:
  const std::string state_dir_;
  quillo::AlertEngine& alerts_;
  HandlerStats& stats_;
  RowSink* sink_ = nullptr;
};

#endif  // QUILLO_DAEMON_ACCESS_LOG_H_
