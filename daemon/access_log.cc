#include "daemon/access_log.h"

#include <string.h>

#include <algorithm>
#include <ctime>
#include <utility>

#include "alert/alert_engine.h"
#include "base/ascii.h"
#include "config/config_xml.h"
#include "daemon/log_row.h"
#include "logstore/log_file.h"
#include "logstore/log_names.h"

using quillo::ConfigXml;

namespace {

bool starts_with(const std::string& s, const char* prefix) {
  return s.compare(0, strlen(prefix), prefix) == 0;
}

std::string error_text(int error_number) {
  char buf[256];
  // GNU strerror_r: returns the text, in buf or static.
  return strerror_r(error_number, buf, sizeof(buf));
}

// Whether the access goes into the log at all.
bool is_logged(const std::string& share,
               const ConfigXml::LogSwitches& switches) {
  if (share == "IPC$") return false;
  if (switches.all_shares) return true;
  return std::find(switches.shares.begin(), switches.shares.end(), share) !=
         switches.shares.end();
}

}  // namespace

AccessValues derive_access_values(const quillo::ReqAccessLog& record) {
  AccessValues v;
  // Only A to Z change: multi-byte UTF-8 letters are left as they are.
  v.user = base::ascii_lower(record.user_name());
  const std::string path = record.path();
  v.operation = record.operation();
  if (starts_with(path, "r|")) {
    v.operation += "_read";
  } else if (starts_with(path, "w|")) {
    v.operation += "_write";
  }
  if (record.result() != 0) {
    v.result = v.result_word = "ok";
  } else {
    v.result_word = "fail";
    v.result = "fail (" + error_text(record.error_number()) + ")";
  }
  // The two removals run one after the other: r|w|x gives x, w|r|x r|x.
  size_t start = starts_with(path, "r|") ? 2 : 0;
  if (path.compare(start, 2, "w|") == 0) start += 2;
  v.path = path.substr(start);
  if (v.path == ".") v.path = record.share_name();
  return v;
}

AccessLogHandler::AccessLogHandler(std::string state_dir,
                                   quillo::AlertEngine& alerts,
                                   HandlerStats& stats)
    : state_dir_(std::move(state_dir)), alerts_(alerts), stats_(stats) {}

bool AccessLogHandler::handle(const quillo::ReqAccessLog& record,
                              ConfigXml& config) {
  return handle_at(static_cast<int64_t>(std::time(nullptr)), record, config);
}

bool AccessLogHandler::handle_at(int64_t now,
                                 const quillo::ReqAccessLog& record,
                                 ConfigXml& config) {
  const ConfigXml::LogSwitches& switches = config.log_switches();
  if (!switches.access_log) {
    stats_.rows_dropped_disabled++;
    return true;
  }
  const std::string share = record.share_name();
  if (!is_logged(share, switches)) {
    stats_.rows_dropped_filtered++;
    return true;
  }

  const AccessValues v = derive_access_values(record);
  std::string row;
  append_field(row, format_log_time(now));
  append_field(row, v.user);
  append_field(row, record.host_name());
  append_field(row, record.ip_address());
  append_field(row, v.operation);
  append_field(row, v.result);
  append_field(row, share);
  append_field(row, v.path);

  LogFile log(config.log_root(), "accesslog", "access_", ".csv", state_dir_);
  apply_autodelete(log, config, ConfigXml::kAccessLog);
  const WrittenRow written{RowKind::kAccess,
                           now,
                           {v.user, record.host_name(), record.ip_address(),
                            v.operation, v.result, share, v.path},
                           row};
  if (sink_ != nullptr) sink_->row_prepared(written);
  const bool stored = log.write_line(now, row) == 0;
  if (sink_ != nullptr) sink_->row_done(stored);
  stats_.files_deleted += static_cast<std::uint64_t>(log.files_deleted);
  stats_.unsafe_entries += static_cast<std::uint64_t>(log.unsafe_entries);
  if (!stored) {
    // Not kept here: the answer says so, and the caller's retry brings the
    // row and its alert check again.
    stats_.write_failures++;
    stats_.access_not_stored++;
    return false;
  }
  stats_.rows_written_access++;

  // The log file stays open during the alert check.
  alerts_.check(config, {quillo::LogKind::kAccess, now, written.fields}, now);
  return true;
}

bool AccessLogHandler::write_alert_row(const quillo::LogRow& row,
                                       ConfigXml& config) {
  // The alert log is never auto-deleted: its settings stay off.
  LogFile log(config.log_root(), "alertlog", "alert_", ".csv", state_dir_);
  const WrittenRow alert{RowKind::kAlert, row.time, row.columns,
                         quillo::encode_row(row)};
  if (sink_ != nullptr) sink_->row_prepared(alert);
  const bool written = log.write_line(row.time, alert.csv) == 0;
  if (sink_ != nullptr) sink_->row_done(written);
  alerts_.stats().unsafe_entries +=
      static_cast<std::uint64_t>(log.unsafe_entries);
  return written;
}
