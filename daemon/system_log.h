// The system-log handler: turns each system-log record into a row of the
// log store's system log. Rows that could not be written stay queued in
// memory and are written again, in arrival order, with the next enabled
// record.
//
// In two steps for a batch of rows: prepare() adds the queued rows and the
// record's row to the batch, the caller writes it (LogStore::write_batch),
// finish() counts the rows and queues again those that missed their file.
//
// Main thread only. The queue lives as long as the handler (the daemon's
// whole run) and holds at most a bound of rows: when it is full the oldest
// row is dropped, with a message and a count.

#ifndef QUILLO_DAEMON_SYSTEM_LOG_H_
#define QUILLO_DAEMON_SYSTEM_LOG_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

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

  // Takes one well-formed record into `batch`: the first time in a batch,
  // the rows still queued (oldest first), then the record's row. Nothing
  // when the system log is off (counted; the queue stays as it is). Hands
  // the log root and auto-delete settings of `config` to the store. Raises
  // the configuration's errors (log root or auto-delete element missing),
  // and then takes nothing.
  void prepare(const ReqSystemLog& record, ConfigXml& config,
               std::vector<BatchRow>* batch);

  // After `batch` was written (or not at all: every row's `written` still
  // false): counts the rows prepare() added and takes those that missed
  // their file out of the batch into the queue, in order.
  void finish(std::vector<BatchRow>& batch);

  // The rows waiting for their file, oldest first.
  const std::deque<LogRow>& pending() const { return pending_; }

 private:
  LogStore& store_;
  HandlerStats& stats_;
  const std::size_t max_queued_;
  std::deque<LogRow> pending_;
  std::vector<std::size_t> in_batch_;  // this handler's rows of the batch
};

}  // namespace quillo

#endif  // QUILLO_DAEMON_SYSTEM_LOG_H_
