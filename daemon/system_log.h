// The system-log handler: turns each system-log record into a row of the
// log store's system log. Rows that could not be written stay queued in
// memory and are written again, in arrival order, with the next enabled
// record.
//
// Main thread only. The queue lives as long as the handler (the daemon's
// whole run) and holds at most a bound of rows: when it is full the oldest
// row is dropped, with a message and a count.

#ifndef QUILLO_DAEMON_SYSTEM_LOG_H_
#define QUILLO_DAEMON_SYSTEM_LOG_H_

#include <cstddef>
#include <cstdint>
#include <deque>

#include "daemon/handler_stats.h"
#include "logstore/log_row.h"
#include "logstore/log_store.h"
#include "protocol/packet.h"

namespace quillo {

class ConfigXml;

// The leading decimal number of `text` as a system record's time: white
// space skipped, optional sign, digits up to the first other character;
// clamped to the 32-bit range; 0 when no number can be read.
int64_t parse_record_time(const char* text);

class SystemLogHandler {
 public:
  static constexpr std::size_t kMaxQueuedRows = 10000;

  // Writes through `store`, counts into `stats` (both must outlive the
  // handler) and queues at most `max_queued` rows.
  SystemLogHandler(LogStore& store, HandlerStats& stats,
                   std::size_t max_queued = kMaxQueuedRows);

  // Handles one well-formed record with the settings of `config` at the
  // daemon's clock. Raises the configuration's errors (log root or
  // auto-delete element missing).
  void handle(const ReqSystemLog& record, ConfigXml& config);

  // The same with `now` as the daemon's clock (tests). The record's own
  // time names its row and chooses its file; `now` judges the ages of
  // the files the auto-delete pass may remove.
  void handle_at(int64_t now, const ReqSystemLog& record, ConfigXml& config);

  // The rows waiting for their file, oldest first.
  const std::deque<LogRow>& pending() const { return pending_; }

 private:
  LogStore& store_;
  HandlerStats& stats_;
  const std::size_t max_queued_;
  std::deque<LogRow> pending_;
};

}  // namespace quillo

#endif  // QUILLO_DAEMON_SYSTEM_LOG_H_
