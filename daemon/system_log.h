// The system-log handler: turns each system-log record into a line of the
// system log. Rows that could not be written stay queued in memory and are
// written again, in arrival order, with the next enabled record.
//
// Main thread only. The queue lives as long as the handler (the daemon's
// whole run) and holds at most a bound of rows: when it is full the oldest
// row is dropped, with a message and a count.

#ifndef QUILLO_DAEMON_SYSTEM_LOG_H_
#define QUILLO_DAEMON_SYSTEM_LOG_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "daemon/handler_stats.h"
#include "forward/row_sink.h"
#include "protocol/packet.h"

namespace quillo {
class ConfigXml;
}  // namespace quillo

class SystemLogHandler {
 public:
  struct PendingRow {
    int64_t time;      // the record's time: chooses the file
    std::string line;  // the finished row, without line end
    std::vector<std::string> fields;  // text1 to text3 as received
  };

  static constexpr std::size_t kMaxQueuedRows = 10000;

  // Keeps its state file in `state_dir`, counts into `stats` (which must
  // outlive the handler) and queues at most `max_queued` rows.
  SystemLogHandler(std::string state_dir, HandlerStats& stats,
                   std::size_t max_queued = kMaxQueuedRows);

  // Handles one well-formed record with the settings of `config` at the
  // daemon's clock. Raises the configuration's errors (log root or
  // auto-delete element missing).
  void handle(const quillo::ReqSystemLog& record, quillo::ConfigXml& config);

  // The same with `now` as the daemon's clock (tests). The record's own
  // time names its line and chooses its file; `now` judges the ages of
  // the files the auto-delete pass may remove.
  void handle_at(int64_t now, const quillo::ReqSystemLog& record,
                 quillo::ConfigXml& config);

  const std::deque<PendingRow>& pending() const { return pending_; }

  // Hands every row written from now on to `sink` (null: to none), which
  // must outlive the handler.
  void set_row_sink(RowSink* sink) { sink_ = sink; }

 private:
  const std::string state_dir_;
  HandlerStats& stats_;
  const std::size_t max_queued_;
  std::deque<PendingRow> pending_;
  RowSink* sink_ = nullptr;
};

#endif  // QUILLO_DAEMON_SYSTEM_LOG_H_
