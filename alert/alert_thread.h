// The alert thread: collects the rows of matched accesses per alert
// condition and raises one set of notices per batch (event-log entry,
// buzzer, a mail listing the rows, and an event-log entry per mail
// address).
//
// The main thread calls check_alert() (which writes the alert log and calls
// push_alert()); the alert thread runs alert_thread() and every notice.
// `pending` is the only state the two share; it is guarded by the Thread
// mutex, which the alert thread releases for the whole of each batch's
// notices, so a slow mail never blocks the request loop.

#ifndef QUILLO_ALERT_ALERT_THREAD_H_
#define QUILLO_ALERT_ALERT_THREAD_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/thread/thread.h"

class ConfigXml;

// Rows of one condition not yet mailed.
struct PendingAlert {
  int64_t last_time = 0;  // last row added or last batch taken, later one
  std::deque<std::string> rows;  // oldest first
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

  // Raises the notices of one batch; handle_alert() unless a test gives
  // another. Runs on the alert thread without the mutex held.
  using BatchHandler =
      std::function<void(const std::string&, const std::vector<std::string>&)>;

  AlertThread();
  explicit AlertThread(const Timing& timing, BatchHandler handler = nullptr);
  // Stops and joins a started thread first, then drops rows still waiting.
  ~AlertThread() override;

  // Adds one matched row for condition `name` and wakes the thread.
  void push_alert(const std::string& name, const std::string& row);

  // The thread function; `self` is the AlertThread. Returns null.
  static void* alert_thread(void* self);

 private:
  void run();
  // One pass over `pending`, with the mutex held on entry and exit.
  void check_pending();

  const Timing timing_;
  const BatchHandler handler_;
  // Entries are never removed, and std::map keeps them in place when others
  // are inserted, so the pass may keep its position across the unlocked
  // handler call. Guarded by the Thread mutex.
  std::map<std::string, PendingAlert> pending_;
};

// Matches one logged access against every alert condition; for each match
// writes `row` into the alert log at time `now` and pushes it under the
// condition's name. Main thread only. Raises the configuration's error when
// the log root cannot be read.
void check_alert(int64_t now, const std::string& user, const std::string& host,
                 const std::string& ip, const std::string& operation,
                 const std::string& result, const std::string& share,
                 const std::string& path, const std::string& row,
                 ConfigXml& config, AlertThread& alerts);

// Raises the notices for one batch of condition `name`: the "71100010"
// event-log entry, the "error" melody, a mail through every mail profile,
// then one event-log entry per address. Failures are dropped.
void handle_alert(const std::string& name,
                  const std::vector<std::string>& batch);

// One event-log entry `code` per address, naming the condition.
void log_mail_results(const std::string& name, const std::string& code,
                      const std::vector<std::string>& addresses);

// The mail subject and body of a batch.
std::string alert_mail_subject(const std::string& name);
std::string alert_mail_body(const std::string& name,
                            const std::vector<std::string>& batch);

#endif  // QUILLO_ALERT_ALERT_THREAD_H_
