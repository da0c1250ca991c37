// The alert thread: collects the rows of matched accesses per alert
// condition and raises one set of notices per batch (event-log entry,
// buzzer, a mail listing the rows, and an event-log entry per mail
// address).
//
// The main thread calls check_alert() (which writes the alert log and calls
// push_alert()); the alert thread runs alert_thread() and every notice.
// `pending_` is the only state the two share; it is guarded by the Thread
// mutex, which the alert thread releases for the whole of each batch's
// notices, so a slow mail never blocks the request loop.

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
#include <vector>

#include "logstore/log_row.h"
#include "logstore/log_store.h"
#include "notice/notice.h"
#include "support/thread/thread.h"

class ConfigXml;

// The alert thread's clock: monotonic, so that setting the wall clock
// neither delays mails nor flushes batches early.
using AlertClock = std::chrono::steady_clock;

// One matched row, numbered in arrival order across all conditions.
struct PendingRow {
  std::uint64_t seq = 0;
  std::string text;
};

// Rows of one condition not yet mailed.
struct PendingAlert {
  // Last row added or last batch taken, whichever came later.
  AlertClock::time_point last_time{};
  std::deque<PendingRow> rows;  // oldest first
};

// What the alert check and the alert thread have done, for the daemon's
// counters. Lock-free: updated by both threads without the mutex and read
// from the daemon's signal handler.
struct AlertStats {
  using Count = std::atomic<std::uint64_t>;
  Count matches{0};         // accesses that met a condition
  Count batches{0};         // batches handed to the notices
  Count rows_written{0};    // alert log lines written
  Count write_failures{0};  // alert log lines that did not reach the file
  Count unsafe_entries{0};  // links and such left untouched in the log
  Count mail_addresses_sent{0};
  Count mail_addresses_failed{0};
  Count rows_dropped{0};  // oldest rows dropped at the bound
  Count batches_kept{0};  // batches put back: the notices could not go out
};

// What one batch's notices came to.
struct BatchOutcome {
  // The notices could not go out now (the notice settings' lock was not
  // had): the rows go back and are tried at a later wake.
  bool kept = false;
  MailOutcome mail;
};

// How long the alert thread waits, and how much it keeps.
struct AlertTiming {
  unsigned wait_seconds;          // longest sleep between two passes
  int64_t quiet_seconds;          // a condition quiet this long is mailed
  std::size_t batch_limit;        // most rows per mail; this many go at once
  std::size_t max_rows = 100000;  // waiting rows of all conditions
};

class AlertThread : public Thread {
 public:
  using Timing = AlertTiming;
  static constexpr Timing kDefaultTiming{60, 60, 1024};

  // Raises the notices of one batch. Runs on the alert thread without the
  // mutex held; what it raises is dropped.
  using BatchHandler = std::function<BatchOutcome(
      const std::string&, const std::vector<std::string>&)>;

  AlertThread(const Timing& timing, BatchHandler handler);
  // Stops and joins a started thread first, then drops rows still waiting.
  ~AlertThread() override;

  // Adds one matched row for condition `name` and wakes the thread; past
  // Timing::max_rows the oldest waiting row of any condition is dropped.
  // Any thread.
  void push_alert(const std::string& name, const std::string& row);

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
  AlertStats& stats() { return stats_; }
  const AlertStats& stats() const { return stats_; }

  // The thread function; `self` is the AlertThread. Returns null.
  static void* alert_thread(void* self);

 private:
  void run();
  // One pass over `pending_`, with the mutex held on entry and exit.
  void check_pending();
  // Drops the oldest waiting rows while there are more than max_rows.
  void trim_to_bound();

  const Timing timing_;
  const BatchHandler handler_;
  AlertStats stats_;
  // Guarded by the Thread mutex. Entries are never removed, and std::map
  // keeps them in place when others are inserted, so the pass may keep its
  // position across the unlocked handler call.
  std::map<std::string, PendingAlert> pending_;
  std::size_t pending_rows_ = 0;  // guarded by the Thread mutex
  std::uint64_t next_seq_ = 0;    // guarded by the Thread mutex
};

// Matches one logged access, `access_row` (its columns user host ip op
// result share path; `result_word` is its result as "ok" or "fail"),
// against every alert condition at the row's time; for each match writes
// the row into `store`'s alert log and pushes its line under the
// condition's name. Main thread only. Raises the configuration's error when
// the log root cannot be read.
void check_alert(quillo::LogStore& store, const quillo::LogRow& access_row,
                 const std::string& result_word, ConfigXml& config,
                 AlertThread& alerts);

// Raises the notices for one batch of condition `name` through `notifier`:
// the "71100010" event-log entry, the "error" melody, a mail through every
// mail profile, then one event-log entry per address. The notice settings
// are read first: when their lock is not had, nothing is sent and the
// outcome says the batch is kept. Other failures are dropped.
BatchOutcome handle_alert(Notifier& notifier, const std::string& name,
                          const std::vector<std::string>& batch);

// The mail subject and body of a batch. The condition name and the rows
// are made safe for XML (xml_safe_text) and inserted as they stand; only
// the fixed text is template.
std::string alert_mail_subject(const std::string& name);
std::vector<MailPart> alert_mail_body(const std::string& name,
                                      const std::vector<std::string>& batch);

#endif  // QUILLO_ALERT_ALERT_THREAD_H_
