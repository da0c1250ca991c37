#include "alert/alert_thread.h"

#include <algorithm>
#include <ctime>
#include <iterator>
#include <string>
#include <utility>

#include "base/console.h"
#include "config/alert_info.h"
#include "config/config_xml.h"
#include "logstore/log_file.h"

namespace {

int64_t now_seconds() { return static_cast<int64_t>(std::time(nullptr)); }

// One event-log entry `code` per address, naming the condition.
void log_mail_results(Notifier& notifier, const std::string& name,
                      const std::string& code,
                      const std::vector<std::string>& addresses) {
  for (const std::string& address : addresses) {
    notifier.send_eventlog(code, {{"mail_address", address}, {"name", name}});
  }
}

}  // namespace

AlertThread::AlertThread(const Timing& timing, BatchHandler handler)
    : timing_(timing), handler_(std::move(handler)) {
  set_thread_function(&AlertThread::alert_thread);
}

AlertThread::~AlertThread() { stop_and_join(); }

void AlertThread::push_alert(const std::string& name, const std::string& row) {
  ThreadLock hold(*this);
  PendingAlert& entry = pending_[name];
  entry.rows.push_back(row);
  entry.last_time = now_seconds();
  signal();
}

void* AlertThread::alert_thread(void* self) {
  static_cast<AlertThread*>(self)->run();
  return nullptr;
}

void AlertThread::run() {
  ThreadLock hold(*this);
  for (;;) {
    say("alert_thread: waiting.\n");
    wait(timing_.wait_seconds);
    say("alert_thread: wake up.\n");
    if (stop_requested()) {
      say("alert_thread: exit by request.\n");
      return;
    }
    try {
      check_pending();
    } catch (...) {
      // Out of memory while taking a batch: the rows stay, the next pass
      // tries again. Nothing may end the thread.
      complain_current_exception();
    }
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
    ThreadUnlock release(*this);
    stats_.batches++;
    try {
      const MailOutcome mail = handler_(batch_name, batch);
      stats_.mail_addresses_sent += mail.sent.size();
      stats_.mail_addresses_failed += mail.failed.size();
    } catch (...) {
      // handle_alert drops its own failures; nothing may end the thread.
    }
  }
}

void check_alert(int64_t now, const std::string& user, const std::string& host,
                 const std::string& ip, const std::string& operation,
                 const std::string& result, const std::string& share,
                 const std::string& path, const std::string& row,
                 const std::string& state_dir, ConfigXml& config,
                 AlertThread& alerts) {
  for (const AlertInfo& alert : config.alert_list()) {
    if (!alert.matches(now, user, host, ip, operation, result, share, path)) {
      continue;
    }
    // The alert log is never auto-deleted: its settings stay off.
    LogFile log(config.log_root(), "alertlog", "alert_", ".csv", state_dir);
    alerts.stats().matches++;
    if (log.write_line(now, row) == 0) {
      alerts.stats().rows_written++;
    } else {
      alerts.stats().write_failures++;
    }
    alerts.stats().unsafe_entries +=
        static_cast<std::uint64_t>(log.unsafe_entries);
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

MailOutcome handle_alert(Notifier& notifier, const std::string& name,
                         const std::vector<std::string>& batch) {
  notifier.send_eventlog(
      "71100010", {{"name", name}, {"number", std::to_string(batch.size())}});
  notifier.play_buzzer(1);
  MailOutcome mail;
  try {
    if (notifier.send_mail(alert_mail_subject(name),
                           alert_mail_body(name, batch), &mail) != 0) {
      say("handle_alert: no mail send.");
      return mail;
    }
    log_mail_results(notifier, name, "71000010", mail.sent);
    log_mail_results(notifier, name, "71090010", mail.failed);
  } catch (...) {
    // The notice settings could not be read or the mail not be built: the
    // batch is gone, the thread goes on with the next condition.
  }
  return mail;
}
