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
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "notice/notice.h"
#include "support/thread/thread.h"

class ConfigXml;

// Rows of one condition not yet mailed.
struct PendingAlert {
  int64_t last_time = 0;  // last row added or last batch taken, later one
  std::deque<std::string> rows;  // oldest first
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
};

class AlertThread : public Thread {
 public:
  struct Timing {
    unsigned wait_seconds;  // longest sleep between two passes
    int64_t quiet_seconds;  // a condition quiet this long is mailed
    std::size_t
        batch_limit;  // most rows per mail; this many are mailed at once
  };
  static constexpr Timing kDefaultTiming{60, 60, 1024};

  // Raises the notices of one batch and returns the mail's outcome (both
  // lists empty when no mail went out). Runs on the alert thread without
  // the mutex held; what it raises is dropped.
  using BatchHandler = std::function<MailOutcome(
      const std::string&, const std::vector<std::string>&)>;

  AlertThread(const Timing& timing, BatchHandler handler);
  // Stops and joins a started thread first, then drops rows still waiting.
  ~AlertThread() override;

  // Adds one matched row for condition `name` and wakes the thread. Any
  // thread.
  void push_alert(const std::string& name, const std::string& row);

  // Any thread; the counts are updated without the mutex.
  AlertStats& stats() { return stats_; }
  const AlertStats& stats() const { return stats_; }

  // The thread function; `self` is the AlertThread. Returns null.
  static void* alert_thread(void* self);

 private:
  void run();
  // One pass over `pending_`, with the mutex held on entry and exit.
  void check_pending();

  const Timing timing_;
  const BatchHandler handler_;
  AlertStats stats_;
  // Guarded by the Thread mutex. Entries are never removed, and std::map
  // keeps them in place when others are inserted, so the pass may keep its
  // position across the unlocked handler call.
  std::map<std::string, PendingAlert> pending_;
};

// Matches one logged access against every alert condition; for each match
// writes `row` into the alert log at time `now` (its state file in
// `state_dir`) and pushes it under the condition's name. Main thread only.
// Raises the configuration's error when the log root cannot be read.
void check_alert(int64_t now, const std::string& user, const std::string& host,
                 const std::string& ip, const std::string& operation,
                 const std::string& result, const std::string& share,
                 const std::string& path, const std::string& row,
                 const std::string& state_dir, ConfigXml& config,
                 AlertThread& alerts);

// Raises the notices for one batch of condition `name` through `notifier`:
// the "71100010" event-log entry, the "error" melody, a mail through every
// mail profile, then one event-log entry per address. Failures are
// dropped; returns the mail's outcome.
MailOutcome handle_alert(Notifier& notifier, const std::string& name,
                         const std::vector<std::string>& batch);

// The mail subject and body of a batch.
std::string alert_mail_subject(const std::string& name);
std::string alert_mail_body(const std::string& name,
                            const std::vector<std::string>& batch);

#endif  // QUILLO_ALERT_ALERT_THREAD_H_
