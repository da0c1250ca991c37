// The alert thread's threshold batches: firings, sent at once, and the rows
// of the holds after them, sent when a hold ends.

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "alert/alert_thread.h"
#include "base/console.h"

namespace quillo {
namespace {

// How long threshold batches wait after their notices could not go out
// (the notice settings were locked).
constexpr std::chrono::seconds kRateRetry{2};

}  // namespace

void AlertThread::push_fired(RateBatch batch) {
  MutexLock hold(mu_);
  rate_rows_ += batch.rows.size();
  fired_.push_back(std::move(batch));
  while (rate_rows_ > timing_.max_rows && fired_.size() > 1) {
    const RateBatch& oldest = fired_.front();
    base::complain("alert_thread: " + std::to_string(oldest.rows.size()) +
                   " rows of " + oldest.name +
                   " dropped: too many alert rows waiting.\n");
    rate_rows_ -= oldest.rows.size();
    stats_.rows_dropped += oldest.rows.size();
    fired_.pop_front();
  }
  wake_.signal();
}

void AlertThread::push_held(const std::string& name,
                            const BatchSummary& summary,
                            std::int64_t hold_left, const std::string& row) {
  MutexLock hold(mu_);
  const auto [it, made] = held_.try_emplace({name, summary.key});
  HeldRows& held = it->second;
  if (made) {
    held.due = AlertClock::now() +
               std::chrono::seconds(std::max<std::int64_t>(hold_left, 1));
    held.summary = summary;
    held.summary.total = 0;
    held.summary.follow_up = true;
    wake_.signal();  // the thread may sleep past the new end
  }
  held.summary.total++;
  if (rate_rows_ >= timing_.max_rows) {
    stats_.rows_dropped++;  // counted, and the mail says how many in all
    return;
  }
  held.rows.push_back(row);
  ++rate_rows_;
}

AlertClock::time_point AlertThread::next_rate_wake(
    AlertClock::time_point wake) const {
  if (!fired_.empty()) wake = std::min(wake, rate_retry_);
  for (const auto& [key, held] : held_) {
    wake = std::min(wake, std::max(held.due, rate_retry_));
  }
  return wake;
}

bool AlertThread::send_rate_batch(const RateBatch& batch) {
  BatchOutcome outcome;
  {
    MutexUnlock release(mu_);
    stats_.batches++;
    try {
      outcome = rate_handler_(batch.name, batch.rows, batch.summary);
    } catch (...) {
      // handle_alert drops its own failures; nothing may end the thread.
    }
  }
  stats_.mail_addresses_sent += outcome.mail.sent.size();
  stats_.mail_addresses_failed += outcome.mail.failed.size();
  if (!outcome.kept) return true;
  base::complain("alert_thread: notices of " + batch.name +
                 " could not go out; " + std::to_string(batch.rows.size()) +
                 " rows kept for the next try.\n");
  stats_.batches_kept++;
  rate_retry_ = AlertClock::now() + kRateRetry;
  return false;
}

void AlertThread::send_rate_batches() {
  if (AlertClock::now() < rate_retry_) return;
  while (!fired_.empty() && !stop_) {
    RateBatch batch = std::move(fired_.front());
    fired_.pop_front();
    rate_rows_ -= batch.rows.size();
    if (!send_rate_batch(batch)) {
      rate_rows_ += batch.rows.size();
      fired_.push_front(std::move(batch));
      return;
    }
  }
  // The holds that have ended, taken out first: the map may change while
  // the mutex is given up for each batch.
  const AlertClock::time_point now = AlertClock::now();
  std::vector<RateBatch> due;
  for (auto it = held_.begin(); it != held_.end();) {
    if (now < it->second.due) {
      ++it;
      continue;
    }
    due.push_back(RateBatch{it->first.first, it->second.summary,
                            std::move(it->second.rows)});
    it = held_.erase(it);
  }
  bool sending = !stop_;
  for (RateBatch& batch : due) {
    rate_rows_ -= batch.rows.size();
    if (sending && send_rate_batch(batch)) continue;
    // Notices that could not go out come back as a firing, overdue already;
    // so do the batches after them.
    sending = false;
    rate_rows_ += batch.rows.size();
    fired_.push_back(std::move(batch));
  }
}

}  // namespace quillo
