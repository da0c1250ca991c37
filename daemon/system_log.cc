#include "daemon/system_log.h"

#include <ctime>
#include <utility>

#include "base/console.h"
#include "config/config_xml.h"
#include "daemon/log_row.h"
#include "logstore/log_file.h"
#include "logstore/log_names.h"

SystemLogHandler::SystemLogHandler(std::string state_dir, HandlerStats& stats,
                                   std::size_t max_queued)
    : state_dir_(std::move(state_dir)),
      stats_(stats),
      max_queued_(max_queued > 0 ? max_queued : 1) {}

void SystemLogHandler::handle(const quillo::ReqSystemLog& record,
                              quillo::ConfigXml& config) {
  handle_at(static_cast<int64_t>(std::time(nullptr)), record, config);
}

void SystemLogHandler::handle_at(int64_t now,
                                 const quillo::ReqSystemLog& record,
                                 quillo::ConfigXml& config) {
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
  apply_autodelete(log, config, quillo::ConfigXml::kSystemLog);

  pending_.push_back(PendingRow{
      time, std::move(row), {record.text1(), record.text2(), record.text3()}});
  // Every queued row is tried, oldest first; only those that did not reach
  // their file stay, in order, so nothing is written twice.
  std::deque<PendingRow> failed;
  for (PendingRow& p : pending_) {
    if (sink_ != nullptr) {
      sink_->row_prepared(
          WrittenRow{RowKind::kSystem, p.time, p.fields, p.line});
    }
    const bool written = log.write_line(p.time, p.line, now) == 0;
    if (sink_ != nullptr) sink_->row_done(written);
    if (written) {
      stats_.rows_written_system++;
    } else {
      stats_.write_failures++;
      failed.push_back(std::move(p));
    }
  }
  pending_.swap(failed);
  // A row that can never be written (its folder taken by something else)
  // must not stay for ever: past the bound the oldest rows go.
  while (pending_.size() > max_queued_) {
    complain("System log queue full!! Drop: " + pending_.front().line + "\n");
    pending_.pop_front();
    stats_.system_queue_dropped++;
  }
  stats_.system_queue_rows = pending_.size();
  stats_.files_deleted += static_cast<std::uint64_t>(log.files_deleted);
  stats_.unsafe_entries += static_cast<std::uint64_t>(log.unsafe_entries);
}
