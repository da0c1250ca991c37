#include "daemon/system_log.h"

#include <utility>

#include "config/config_xml.h"
#include "daemon/log_row.h"
#include "logstore/log_file.h"
#include "logstore/log_names.h"

SystemLogHandler::SystemLogHandler(std::string state_dir, HandlerStats& stats)
    : state_dir_(std::move(state_dir)), stats_(stats) {}

void SystemLogHandler::handle(const quillo::ReqSystemLog& record,
                              ConfigXml& config) {
  // A disabled log drops the record and leaves the queue as it is.
  if (!config.log_switches().system_log) {
    stats_.rows_dropped_disabled++;
    return;
  }

  const int64_t time = parse_record_time(record.time());
  std::string row;
  append_field(row, format_log_time(time));
  append_field(row, record.text1());
  append_field(row, record.text2());
  append_field(row, record.text3());

  LogFile log(config.log_root(), "systemlog", "system_", ".csv", state_dir_);
  apply_autodelete(log, config, ConfigXml::kSystemLog);

  pending_.push_back(PendingRow{time, std::move(row)});
  // Every queued row is tried, oldest first; only those that did not reach
  // their file stay, in order, so nothing is written twice.
  std::deque<PendingRow> failed;
  for (PendingRow& p : pending_) {
    if (log.write_line(p.time, p.line) == 0) {
      stats_.rows_written_system++;
    } else {
      stats_.write_failures++;
      failed.push_back(std::move(p));
    }
  }
  pending_.swap(failed);
  stats_.system_queue_rows = pending_.size();
  stats_.files_deleted += static_cast<std::uint64_t>(log.files_deleted);
}
