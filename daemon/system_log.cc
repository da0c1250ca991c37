#include "daemon/system_log.h"

#include <ctime>
#include <string>
#include <utility>

#include "base/ascii.h"
#include "base/console.h"
#include "config/config_xml.h"
#include "daemon/store_settings.h"

namespace quillo {

int64_t parse_record_time(const char* text) {
  return base::parse_leading_int32(text);
}

SystemLogHandler::SystemLogHandler(LogStore& store, HandlerStats& stats,
                                   std::size_t max_queued)
    : store_(store),
      stats_(stats),
      max_queued_(max_queued > 0 ? max_queued : 1) {}

void SystemLogHandler::handle(const ReqSystemLog& record, ConfigXml& config) {
  handle_at(static_cast<int64_t>(std::time(nullptr)), record, config);
}

void SystemLogHandler::handle_at(int64_t now, const ReqSystemLog& record,
                                 ConfigXml& config) {
  std::vector<BatchRow> batch;
  prepare(record, config, &batch);
  WriteCounts counts;
  for (BatchRow& row : batch) row.written = store_.write(row.row, now, &counts);
  finish(batch);
  stats_.files_deleted += counts.files_deleted;
  stats_.unsafe_entries += counts.unsafe_entries;
}

void SystemLogHandler::prepare(const ReqSystemLog& record, ConfigXml& config,
                               std::vector<BatchRow>* batch) {
  // A disabled log drops the record and leaves the queue as it is.
  if (!config.log_switches().system_log) {
    stats_.rows_dropped_disabled++;
    return;
  }
  LogRow row{LogKind::kSystem,
             parse_record_time(record.time()),
             {record.text1(), record.text2(), record.text3()}};
  apply_store_settings(config, LogKind::kSystem, store_);
  // Every queued row is tried again, oldest first, before the new ones.
  if (in_batch_.empty()) {
    for (LogRow& queued : pending_) {
      in_batch_.push_back(batch->size());
      batch->push_back({std::move(queued), false});
    }
    pending_.clear();
  }
  in_batch_.push_back(batch->size());
  batch->push_back({std::move(row), false});
}

void SystemLogHandler::finish(std::vector<BatchRow>& batch) {
  if (in_batch_.empty()) return;
  // Only the rows that did not reach their file stay, in order, so nothing
  // is written twice.
  for (const std::size_t i : in_batch_) {
    if (batch[i].written) {
      stats_.rows_written_system++;
    } else {
      stats_.write_failures++;
      pending_.push_back(std::move(batch[i].row));
    }
  }
  in_batch_.clear();
  // A row that can never be written (its folder taken by something else)
  // must not stay for ever: past the bound the oldest rows go.
  while (pending_.size() > max_queued_) {
    base::complain(
        "System log queue full!! Drop: " + encode_row(pending_.front()) + "\n");
    pending_.pop_front();
    stats_.system_queue_dropped++;
  }
  stats_.system_queue_rows = pending_.size();
}

}  // namespace quillo
