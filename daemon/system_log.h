// The system-log handler: turns each system-log record into a line of the
// system log. Rows that could not be written stay queued in memory and are
// written again, in arrival order, with the next enabled record.
//
// Main thread only. The queue lives as long as the handler (the daemon's
// whole run) and has no bound.

#ifndef QUILLO_DAEMON_SYSTEM_LOG_H_
#define QUILLO_DAEMON_SYSTEM_LOG_H_

#include <cstdint>
#include <deque>
#include <string>

#include "daemon/handler_stats.h"
#include "protocol/packet.h"

class ConfigXml;

class SystemLogHandler {
 public:
  struct PendingRow {
    int64_t time;      // the record's time: chooses the file
    std::string line;  // the finished row, without line end
  };

  // Keeps its state file in `state_dir` and counts into `stats`, which must
  // outlive the handler.
  SystemLogHandler(std::string state_dir, HandlerStats& stats);

  // Handles one well-formed record with the settings of `config`. Raises
  // the configuration's errors (log root or auto-delete element missing).
  void handle(const quillo::ReqSystemLog& record, ConfigXml& config);

  const std::deque<PendingRow>& pending() const { return pending_; }

 private:
  const std::string state_dir_;
  HandlerStats& stats_;
  std::deque<PendingRow> pending_;
};

#endif  // QUILLO_DAEMON_SYSTEM_LOG_H_
