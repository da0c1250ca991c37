#include "daemon/access_log.h"

#include <string.h>

#include <algorithm>
#include <ctime>
#include <utility>

#include "alert/alert_engine.h"
#include "base/ascii.h"
#include "config/config_xml.h"
#include "daemon/store_settings.h"

namespace quillo {
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

AccessValues derive_access_values(const ReqAccessLog& record) {
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

LogRow access_row(std::int64_t now, const ReqAccessLog& record,
                  const AccessValues& values) {
  return LogRow{LogKind::kAccess,
                now,
                {values.user, record.host_name(), record.ip_address(),
                 values.operation, values.result, record.share_name(),
                 values.path}};
}

AccessLogHandler::AccessLogHandler(LogStore& store, AlertEngine& alerts,
                                   HandlerStats& stats)
    : store_(store), alerts_(alerts), stats_(stats) {}

bool AccessLogHandler::handle(const ReqAccessLog& record, ConfigXml& config) {
  return handle_at(static_cast<int64_t>(std::time(nullptr)), record, config);
}

bool AccessLogHandler::handle_at(int64_t now, const ReqAccessLog& record,
                                 ConfigXml& config) {
  const std::optional<LogRow> row = prepare(now, record, config);
  if (!row) return true;
  WriteCounts counts;
  const bool written = store_.write(*row, now, &counts);
  stats_.files_deleted += counts.files_deleted;
  stats_.unsafe_entries += counts.unsafe_entries;
  return finish(*row, written, now, config);
}

std::optional<LogRow> AccessLogHandler::prepare(int64_t now,
                                                const ReqAccessLog& record,
                                                ConfigXml& config) {
  const ConfigXml::LogSwitches& switches = config.log_switches();
  if (!switches.access_log) {
    stats_.rows_dropped_disabled++;
    return std::nullopt;
  }
  if (!is_logged(record.share_name(), switches)) {
    stats_.rows_dropped_filtered++;
    return std::nullopt;
  }
  const AccessValues v = derive_access_values(record);
  LogRow row = access_row(now, record, v);
  apply_store_settings(config, LogKind::kAccess, store_);
  return row;
}

bool AccessLogHandler::finish(const LogRow& row, bool written, int64_t now,
                              ConfigXml& config) {
  if (!written) {
    // Not kept here: the answer says so, and the caller's retry brings the
    // row and its alert check again.
    stats_.write_failures++;
    stats_.access_not_stored++;
    return false;
  }
  stats_.rows_written_access++;
  // The log file stays open during the alert check.
  alerts_.check(config, row, now);
  return true;
}

std::size_t AccessLogHandler::write_alert_row(const LogRow& row,
                                              std::size_t copies,
                                              ConfigXml& config) {
  // The alert log is never auto-deleted: only its root is set.
  store_.set_root(LogKind::kAlert, config.log_root());
  WriteCounts counts;
  const std::size_t written =
      store_.write_copies(row, copies, row.time, &counts);
  alerts_.stats().unsafe_entries += counts.unsafe_entries;
  return written;
}

}  // namespace quillo
