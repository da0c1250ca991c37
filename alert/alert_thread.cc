#include "alert/alert_thread.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <string>
#include <utility>

#include "base/console.h"

namespace quillo {

AlertThread::AlertThread(const Timing& timing, BatchHandler handler,
                         RateBatchHandler rate_handler)
    : timing_(timing),
      handler_(std::move(handler)),
      rate_handler_(rate_handler ? std::move(rate_handler)
                                 : [this](const std::string& name,
                                          const std::vector<std::string>& rows,
                                          const BatchSummary&) {
                                     return handler_(name, rows);
                                   }) {}

AlertThread::AlertThread(const Timing& timing, Notifier& notifier)
    : AlertThread(
          timing,
          [&notifier](const std::string& name,
                      const std::vector<std::string>& batch) {
            return handle_alert(notifier, name, batch);
          },
          [&notifier](const std::string& name,
                      const std::vector<std::string>& batch,
                      const BatchSummary& summary) {
            return handle_alert(notifier, name, batch, &summary);
          }) {}

AlertThread::~AlertThread() { stop(); }

int AlertThread::start() {
  return worker_.start([this] { run(); });
}

void AlertThread::stop() noexcept {
  {
    MutexLock hold(mu_);
    stop_ = true;
  }
  wake_.signal();
  worker_.join();
  MutexLock hold(mu_);
  stop_ = false;  // a later start() runs again
}

void AlertThread::push_alert(const std::string& name, const std::string& row) {
  MutexLock hold(mu_);
  PendingAlert& entry = pending_[name];
  entry.rows.push_back(PendingAlertRow{next_seq_++, row});
  entry.last_time = AlertClock::now();
  ++pending_rows_;
  trim_to_bound();
  wake_.signal();
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

void AlertThread::run() {
  MutexLock hold(mu_);
  for (;;) {
    base::say("alert_thread: waiting.\n");
    const AlertClock::time_point now = AlertClock::now();
    const AlertClock::time_point wake =
        next_rate_wake(next_wake(pending_, now, timing_));
    // A stop that came while a pass ran is not slept through.
    if (wake > now && !stop_) {
      wake_.wait_for(mu_,
                     std::chrono::ceil<std::chrono::milliseconds>(wake - now));
    }
    base::say("alert_thread: wake up.\n");
    if (stop_) {
      base::say("alert_thread: exit by request.\n");
      return;
    }
    try {
      check_pending();
    } catch (...) {
      // Out of memory while taking a batch: the rows stay, the next pass
      // tries again. Nothing may end the thread.
      base::complain_current_exception();
    }
  }
}

void AlertThread::check_pending() {
  // A firing goes out before anything else: the attack is under way.
  send_rate_batches();
  for (auto& [name, entry] : pending_) {
    base::say("alert_thread: check " + name + "\n");
    const AlertClock::time_point now = AlertClock::now();
    if (!is_due(entry, now, timing_)) continue;
    base::say("alert_thread: try send mail\n");
    send_batch(name, entry, now);
  }
}

void AlertThread::send_batch(const std::string& name, PendingAlert& entry,
                             AlertClock::time_point now) {
  const std::size_t n = std::min(entry.rows.size(), timing_.batch_limit);
  const auto end = entry.rows.begin() + static_cast<long>(n);
  std::vector<PendingAlertRow> taken(
      std::make_move_iterator(entry.rows.begin()),
      std::make_move_iterator(end));
  entry.rows.erase(entry.rows.begin(), end);
  pending_rows_ -= n;
  entry.last_time = now;
  std::vector<std::string> batch;
  batch.reserve(n);
  for (const PendingAlertRow& row : taken) batch.push_back(row.text);
  // The handler runs without the mutex: it gets copies, not the table's.
  const std::string batch_name = name;
  BatchOutcome outcome;
  {
    MutexUnlock release(mu_);
    stats_.batches++;
    try {
      outcome = handler_(batch_name, batch);
    } catch (...) {
      // handle_alert drops its own failures; nothing may end the thread.
    }
  }
  stats_.mail_addresses_sent += outcome.mail.sent.size();
  stats_.mail_addresses_failed += outcome.mail.failed.size();
  if (!outcome.kept) return;
  // Back in front of what came meanwhile, for the next wake.
  base::complain("alert_thread: notices of " + batch_name +
                 " could not go out; " + std::to_string(n) +
                 " rows kept for the next try.\n");
  stats_.batches_kept++;
  entry.rows.insert(entry.rows.begin(), std::make_move_iterator(taken.begin()),
                    std::make_move_iterator(taken.end()));
  pending_rows_ += n;
  entry.last_time = AlertClock::now();
  trim_to_bound();
}

}  // namespace quillo
