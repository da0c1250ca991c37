// The alert thread: collects the rows of matched accesses per alert
// condition and hands them on in batches, one batch per condition once it
// has been quiet for the quiet period or holds a whole batch. The daemon's
// batches raise the notices of notice/alert_notice.h.
//
//   AlertThread alerts(AlertThread::kDefaultTiming, notifier);
//   alerts.start();
//   alerts.push_alert("watch docs", row_text);  // main thread, never blocks
//                                               // on a notice
//
// The main thread calls push_alert() (through AlertEngine); the thread runs
// every batch. The waiting rows are the only state the two share; they are
// guarded by the thread's own mutex, which nobody outside can take and
// which the thread gives up for the whole of each batch, so a slow mail
// never blocks the request loop.

#ifndef QUILLO_ALERT_ALERT_THREAD_H_
#define QUILLO_ALERT_ALERT_THREAD_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "base/thread_annotations.h"
#include "notice/alert_notice.h"
#include "support/thread/mutex.h"
#include "support/thread/worker.h"

namespace quillo {

// The alert thread's clock: monotonic, so that setting the wall clock
// neither delays mails nor flushes batches early.
using AlertClock = std::chrono::steady_clock;

// One matched row, numbered in arrival order across all conditions.
struct PendingAlertRow {
  std::uint64_t seq = 0;
  std::string text;
};

// Rows of one condition not yet handed on.
struct PendingAlert {
  // Last row added or last batch taken, whichever came later.
  AlertClock::time_point last_time{};
  std::deque<PendingAlertRow> rows;  // oldest first
};

// A batch of a threshold condition: the rows of a firing, sent at once, or
// the rows of the hold after it, sent when the hold ends.
struct RateBatch {
  std::string name;
  BatchSummary summary;
  std::vector<std::string> rows;
};

// The rows of one key's hold, waiting for its end.
struct HeldRows {
  AlertClock::time_point due{};
  BatchSummary summary;  // total: every row of the hold, kept or not
  std::vector<std::string> rows;
};

// What the alert thread has done, for the daemon's counters. Lock-free:
// updated by the thread and by push_alert() without the mutex, read from
// the daemon's signal handler.
struct AlertThreadStats {
  using Count = std::atomic<std::uint64_t>;
  Count batches{0};  // batches handed to the notices
  Count mail_addresses_sent{0};
  Count mail_addresses_failed{0};
  Count rows_dropped{0};  // oldest rows dropped at the bound
  Count batches_kept{0};  // batches put back: the notices could not go out
};

// How long the alert thread waits, and how much it keeps.
struct AlertTiming {
  unsigned wait_seconds;          // longest sleep between two passes
  int64_t quiet_seconds;          // a condition quiet this long is mailed
  std::size_t batch_limit;        // most rows per mail; this many go at once
  std::size_t max_rows = 100000;  // waiting rows of all conditions
};

class AlertThread {
 public:
  using Timing = AlertTiming;
  static constexpr Timing kDefaultTiming{60, 60, 1024};

  // Raises the notices of one batch. Runs on the alert thread without the
  // mutex held; what it raises is dropped.
  using BatchHandler = std::function<BatchOutcome(
      const std::string&, const std::vector<std::string>&)>;
  // Likewise for the batches of threshold conditions.
  using RateBatchHandler = std::function<BatchOutcome(
      const std::string&, const std::vector<std::string>&,
      const BatchSummary&)>;

  // Not started; rows may be pushed already.
  // `rate_handler` takes the threshold batches; without it they go to
  // `handler`, their summary left out.
  AlertThread(const Timing& timing, BatchHandler handler,
              RateBatchHandler rate_handler = nullptr);
  // Each batch raises its notices through `notifier` (handle_alert), which
  // must outlive the thread.
  AlertThread(const Timing& timing, Notifier& notifier);
  // stop(), then drops the rows still waiting.
  ~AlertThread();
  AlertThread(const AlertThread&) = delete;
  AlertThread& operator=(const AlertThread&) = delete;

  // Starts the thread. 0, or an error number: EINVAL when it runs already.
  // Owner only.
  int start();

  // Asks the thread to stop and joins it: a batch under way is finished,
  // as is the pass it belongs to, and rows still waiting stay. Nothing when
  // it does not run. Owner only; never raises.
  void stop() noexcept EXCLUDES(mu_);

  // Adds one matched row for condition `name` and wakes the thread; past
  // Timing::max_rows the oldest waiting row of any condition is dropped.
  // Any thread.
  void push_alert(const std::string& name, const std::string& row)
      EXCLUDES(mu_);

  // Queues the batch of a threshold condition's firing, to be sent before
  // anything else in the next pass, and wakes the thread. Past
  // Timing::max_rows rows of threshold batches waiting, the oldest firing's
  // rows are dropped (counted). Any thread.
  void push_fired(RateBatch batch) EXCLUDES(mu_);

  // Adds one row of the hold of key `summary.key` of condition `name`, to
  // go out as one batch `hold_left` seconds from now (the end of the hold;
  // later rows of the same hold join that batch). Past Timing::max_rows
  // rows waiting the row is only counted. Any thread.
  void push_held(const std::string& name, const BatchSummary& summary,
                 std::int64_t hold_left, const std::string& row)
      EXCLUDES(mu_);

  // When a condition is to be mailed: once it has been quiet for the quiet
  // period, or at once when it holds a whole batch. The thread sleeps until
  // the earliest such moment among the conditions with rows, and at most
  // wait_seconds.
  static bool is_due(const PendingAlert& entry, AlertClock::time_point now,
                     const Timing& timing);
  static AlertClock::time_point next_wake(
      const std::map<std::string, PendingAlert>& pending,
      AlertClock::time_point now, const Timing& timing);

  // Any thread; the counts are updated without the mutex.
  const AlertThreadStats& stats() const { return stats_; }

 private:
  void run() EXCLUDES(mu_);
  // One pass over `pending_`.
  void check_pending() REQUIRES(mu_);
  // Hands the first batch of `entry` to the handler, without the mutex
  // while it runs; a kept batch goes back in front.
  void send_batch(const std::string& name, PendingAlert& entry,
                  AlertClock::time_point now) REQUIRES(mu_);
  // Drops the oldest waiting rows while there are more than max_rows.
  void trim_to_bound() REQUIRES(mu_);
  // The threshold batches: the earliest moment one is due, and one pass.
  AlertClock::time_point next_rate_wake(AlertClock::time_point wake) const
      REQUIRES(mu_);
  void send_rate_batches() REQUIRES(mu_);
  // Hands `batch` to the rate handler without the mutex; true when it went
  // out, false when its notices are to be tried again.
  bool send_rate_batch(const RateBatch& batch) REQUIRES(mu_);

  const Timing timing_;
  const BatchHandler handler_;
  const RateBatchHandler rate_handler_;
  AlertThreadStats stats_;
  Mutex mu_;
  CondVar wake_;
  bool stop_ GUARDED_BY(mu_) = false;
  // Entries are never removed, and std::map keeps them in place when others
  // are inserted, so a pass may keep its position across the unlocked
  // handler call.
  std::map<std::string, PendingAlert> pending_ GUARDED_BY(mu_);
  std::size_t pending_rows_ GUARDED_BY(mu_) = 0;
  std::uint64_t next_seq_ GUARDED_BY(mu_) = 0;
  std::deque<RateBatch> fired_ GUARDED_BY(mu_);  // oldest first
  // Per condition name and key.
  std::map<std::pair<std::string, std::string>, HeldRows> held_
      GUARDED_BY(mu_);
  std::size_t rate_rows_ GUARDED_BY(mu_) = 0;  // rows in fired_ and held_
  // After notices that could not go out, the threshold batches wait until
  // then.
  AlertClock::time_point rate_retry_ GUARDED_BY(mu_){};
  Worker worker_;  // last: joined before the members its loop uses go
};

}  // namespace quillo

#endif  // QUILLO_ALERT_ALERT_THREAD_H_
