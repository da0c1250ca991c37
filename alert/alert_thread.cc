#include "alert/alert_thread.h"

#include <ctime>
#include <string>

#include "alert/alert_info.h"
#include "config/config_xml.h"
#include "daemon/console.h"
#include "daemon/counters.h"
#include "logstore/log_file.h"
#include "notice/notice.h"
#include "protocol/paths.h"

namespace {

int64_t now_seconds() { return static_cast<int64_t>(std::time(nullptr)); }

}  // namespace

AlertThread::AlertThread() : AlertThread(kDefaultTiming) {}

AlertThread::AlertThread(const Timing& timing, BatchHandler handler)
    : timing_(timing),
      handler_(handler ? std::move(handler) : BatchHandler(handle_alert)) {
  set_thread_function(&AlertThread::alert_thread);
}

AlertThread::~AlertThread() { stop_and_join(); }

void AlertThread::push_alert(const std::string& name, const std::string& row) {
  lock();
  PendingAlert& entry = pending_[name];
  entry.rows.push_back(row);
  entry.last_time = now_seconds();
  signal();
  unlock();
}

void* AlertThread::alert_thread(void* self) {
  static_cast<AlertThread*>(self)->run();
  return nullptr;
}

void AlertThread::run() {
  for (;;) {
    say("alert_thread: waiting.\n");
    lock();
    wait(timing_.wait_seconds);
    say("alert_thread: wake up.\n");
    if (stop_requested()) {
      say("alert_thread: exit by request.\n");
      unlock();
      return;
    }
    check_pending();
    unlock();
  }
}

void AlertThread::check_pending() {
  for (auto it = pending_.begin(); it != pending_.end(); ++it) {
    const std::string& name = it->first;
    PendingAlert& entry = it->second;
    say("alert_thread: check " + name + "\n");
    if (entry.rows.empty()) continue;
    const int64_t now = now_seconds();
    if (now - entry.last_time < timing_.quiet_seconds &&
        entry.rows.size() < timing_.batch_limit) {
      continue;
    }
    say("alert_thread: try send mail\n");
    const std::size_t n = std::min(entry.rows.size(), timing_.batch_limit);
    std::vector<std::string> batch(
        std::make_move_iterator(entry.rows.begin()),
        std::make_move_iterator(entry.rows.begin() + static_cast<long>(n)));
    entry.rows.erase(entry.rows.begin(),
                     entry.rows.begin() + static_cast<long>(n));
    entry.last_time = now;
    const std::string batch_name = name;
    unlock();
    counters().alert_batches++;
    try {
      handler_(batch_name, batch);
    } catch (...) {
      // handle_alert drops its own failures; nothing may end the thread.
    }
    lock();
  }
}

void check_alert(int64_t now, const std::string& user, const std::string& host,
                 const std::string& ip, const std::string& operation,
                 const std::string& result, const std::string& share,
                 const std::string& path, const std::string& row,
                 ConfigXml& config, AlertThread& alerts) {
  for (const AlertInfo& alert : config.alert_list()) {
    if (!alert.matches(now, user, host, ip, operation, result, share, path)) {
      continue;
    }
    // The alert log is never auto-deleted: its settings stay off.
    LogFile log(config.log_root(), "alertlog", "alert_", ".csv",
                quillo::Paths().state_dir);
    counters().alert_matches++;
    if (log.write_line(now, row) == 0) {
      counters().rows_written_alert++;
    } else {
      counters().write_failures++;
    }
    alerts.push_alert(alert.name, row);
  }
}

std::string alert_mail_subject(const std::string& name) {
  return "クイロ アラート - 条件名:" + name;
}

std::string alert_mail_body(const std::string& name,
                            const std::vector<std::string>& batch) {
  std::string body = "アラート条件 " + name + ": アクセスを" +
                     std::to_string(batch.size()) + "件検出しました。\n\n";
  for (const std::string& row : batch) body += row + "\n";
  return body;
}

void handle_alert(const std::string& name,
                  const std::vector<std::string>& batch) {
  send_eventlog("71100010",
                {{"name", name}, {"number", std::to_string(batch.size())}});
  play_buzzer(1);
  try {
    MailRequest mail;
    mail.script = quillo::Paths().mailsend_script;
    if (mail.send(alert_mail_subject(name), alert_mail_body(name, batch)) !=
        0) {
      say("handle_alert: no mail send.");
      return;
    }
    counters().mail_addresses_sent += mail.sent.size();
    counters().mail_addresses_failed += mail.failed.size();
    log_mail_results(name, "71000010", mail.sent);
    log_mail_results(name, "71090010", mail.failed);
  } catch (...) {
    // The notice settings could not be read or the mail not be built: the
    // batch is gone, the thread goes on with the next condition.
  }
}

void log_mail_results(const std::string& name, const std::string& code,
                      const std::vector<std::string>& addresses) {
  for (const std::string& address : addresses) {
    send_eventlog(code, {{"mail_address", address}, {"name", name}});
  }
}
