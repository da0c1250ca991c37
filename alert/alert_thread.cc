#include "alert/alert_thread.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <iterator>
#include <string>
#include <utility>

#include "base/console.h"
#include "config/alert_info.h"
#include "config/config_xml.h"
#include "support/xml/xml_data.h"

namespace {

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
  entry.rows.push_back(PendingRow{next_seq_++, row});
  entry.last_time = AlertClock::now();
  ++pending_rows_;
  trim_to_bound();
  signal();
}

void AlertThread::trim_to_bound() {
  while (pending_rows_ > timing_.max_rows) {
    // The oldest row is at the front of some condition's rows.
    PendingAlert* oldest = nullptr;
    for (auto& [name, entry] : pending_) {
      if (!entry.rows.empty() &&
          (oldest == nullptr ||
           entry.rows.front().seq < oldest->rows.front().seq)) {
        oldest = &entry;
      }
    }
    if (oldest == nullptr) return;
    oldest->rows.pop_front();
    --pending_rows_;
    stats_.rows_dropped++;
  }
}

bool AlertThread::is_due(const PendingAlert& entry, AlertClock::time_point now,
                         const Timing& timing) {
  if (entry.rows.empty()) return false;
  return entry.rows.size() >= timing.batch_limit ||
         now - entry.last_time >= std::chrono::seconds(timing.quiet_seconds);
}

AlertClock::time_point AlertThread::next_wake(
    const std::map<std::string, PendingAlert>& pending,
    AlertClock::time_point now, const Timing& timing) {
  AlertClock::time_point wake = now + std::chrono::seconds(timing.wait_seconds);
  for (const auto& [name, entry] : pending) {
    if (entry.rows.empty()) continue;
    if (is_due(entry, now, timing)) return now;
    wake = std::min(
        wake, entry.last_time + std::chrono::seconds(timing.quiet_seconds));
  }
  return wake;
}

void* AlertThread::alert_thread(void* self) {
  static_cast<AlertThread*>(self)->run();
  return nullptr;
}

void AlertThread::run() {
  ThreadLock hold(*this);
  for (;;) {
    say("alert_thread: waiting.\n");
    const AlertClock::time_point now = AlertClock::now();
    const AlertClock::time_point wake = next_wake(pending_, now, timing_);
    if (wake > now) {
      wait_for(std::chrono::ceil<std::chrono::milliseconds>(wake - now));
    }
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
    const AlertClock::time_point now = AlertClock::now();
    if (!is_due(entry, now, timing_)) continue;
    say("alert_thread: try send mail\n");
    const std::size_t n = std::min(entry.rows.size(), timing_.batch_limit);
    std::vector<PendingRow> taken(
        std::make_move_iterator(entry.rows.begin()),
        std::make_move_iterator(entry.rows.begin() + static_cast<long>(n)));
    entry.rows.erase(entry.rows.begin(),
                     entry.rows.begin() + static_cast<long>(n));
    pending_rows_ -= n;
    entry.last_time = now;
    std::vector<std::string> batch;
    batch.reserve(n);
    for (const PendingRow& row : taken) batch.push_back(row.text);
    const std::string batch_name = name;
    BatchOutcome outcome;
    {
      ThreadUnlock release(*this);
      stats_.batches++;
      try {
        outcome = handler_(batch_name, batch);
      } catch (...) {
        // handle_alert drops its own failures; nothing may end the thread.
      }
    }
    stats_.mail_addresses_sent += outcome.mail.sent.size();
    stats_.mail_addresses_failed += outcome.mail.failed.size();
    if (outcome.kept) {
      // Back in front of what came meanwhile, for the next wake.
      complain("alert_thread: notices of " + batch_name +
               " could not go out; " + std::to_string(n) +
               " rows kept for the next try.\n");
      stats_.batches_kept++;
      entry.rows.insert(entry.rows.begin(),
                        std::make_move_iterator(taken.begin()),
                        std::make_move_iterator(taken.end()));
      pending_rows_ += n;
      entry.last_time = AlertClock::now();
      trim_to_bound();
    }
  }
}

void check_alert(quillo::LogStore& store, const quillo::LogRow& access_row,
                 const std::string& result_word, ConfigXml& config,
                 AlertThread& alerts) {
  const std::vector<std::string>& c = access_row.columns;
  for (const AlertInfo& alert : config.alert_list()) {
    if (!alert.matches(access_row.time, c[quillo::kUser], c[quillo::kHost],
                       c[quillo::kIp], c[quillo::kOperation], result_word,
                       c[quillo::kShare], c[quillo::kPath])) {
      continue;
    }
    // The alert log is never auto-deleted: only its root is set.
    store.set_root(quillo::LogKind::kAlert, config.log_root());
    alerts.stats().matches++;
    const quillo::LogRow row{quillo::LogKind::kAlert, access_row.time, c};
    quillo::WriteCounts counts;
    std::string line;
    if (store.write(row, access_row.time, &counts, &line)) {
      alerts.stats().rows_written++;
    } else {
      alerts.stats().write_failures++;
    }
    alerts.stats().unsafe_entries += counts.unsafe_entries;
    alerts.push_alert(alert.name, line);
  }
}

std::string alert_mail_subject(const std::string& name) {
  return "クイロ アラート - 条件名:" + xml_safe_text(name);
}

std::vector<MailPart> alert_mail_body(const std::string& name,
                                      const std::vector<std::string>& batch) {
  std::string rows;
  for (const std::string& row : batch) rows += xml_safe_text(row) + "\n";
  return {
      {"アラート条件 ", true},
      {xml_safe_text(name), false},
      {": アクセスを" + std::to_string(batch.size()) + "件検出しました。\n\n",
       true},
      {rows, false}};
}

BatchOutcome handle_alert(Notifier& notifier, const std::string& name,
                          const std::vector<std::string>& batch) {
  BatchOutcome outcome;
  // Read before any notice goes out, so that a batch kept for later is not
  // announced twice.
  std::vector<MailProfile> profiles;
  bool readable = true;
  try {
    profiles = notifier.read_mail_profiles();
  } catch (const XmlLockError&) {
    outcome.kept = true;
    return outcome;
  } catch (...) {
    // The notice settings could not be read: no mail for this batch.
    readable = false;
  }
  notifier.send_eventlog(
      "71100010", {{"name", name}, {"number", std::to_string(batch.size())}});
  notifier.play_buzzer(1);
  if (!readable) return outcome;
  try {
    if (notifier.send_mail_to(profiles, alert_mail_subject(name),
                              alert_mail_body(name, batch),
                              &outcome.mail) != 0) {
      say("handle_alert: no mail send.");
      return outcome;
    }
  } catch (...) {
    // The mail could not be built: the batch is gone, the thread goes on
    // with the next condition.
    return outcome;
  }
  log_mail_results(notifier, name, "71000010", outcome.mail.sent);
  log_mail_results(notifier, name, "71090010", outcome.mail.failed);
  return outcome;
}
