// Central collection: every row written to a log file goes, as an RFC 5424
// message in an octet-counted frame, to a durable spool (main thread, before
// the client is answered) and from there, in order, to the site's collector
// over TCP or RELP, either with TLS (the forwarder thread). The request
// loop never waits on the network, nor on the forwarder thread's disk.
//
// The spool's persisted position only passes rows the collector certainly
// has: over TCP those written to the connection, over RELP those it
// acknowledged (with every row before them). A RELP session is closed
// cleanly after a second without rows, on new settings and at a stop; a
// session lost, or closed with rows unacknowledged, sends them again, so a
// collector or daemon that dies costs at most one window of duplicates.
//
// Threads and locks. The main thread calls configure(), row_prepared() and
// row_done(); the forwarder thread runs run(). Two mutexes, neither held
// for any file or network work:
//   - the spool's own (spool.h) guards its segment table and positions.
//     The main thread writes each frame to the spool's write segment (its
//     own file) with it free, and takes it only to count the frame in;
//     the forwarder thread reads segments, writes the position file and
//     scans the folder at start-up with it free;
//   - mu_ guards what the two threads tell each other: the settings for
//     the thread, the stop, and the wake-ups (new settings; new rows,
//     which take it only when the thread sleeps waiting for one).
// The main thread's critical sections are so memory-only. Everything
// else is one thread's own, as marked below.

#ifndef QUILLO_FORWARD_FORWARDER_H_
#define QUILLO_FORWARD_FORWARDER_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/thread_annotations.h"
#include "forward/forward_settings.h"
#include "forward/spool.h"
#include "forward/syslog_message.h"
#include "forward/transport.h"
#include "logstore/row_observer.h"
#include "support/thread/mutex.h"
#include "support/thread/worker.h"

namespace quillo {

// What the forwarder has done. Lock-free: read by the SIGUSR1 handler.
struct ForwardStats {
  using Count = std::atomic<std::uint64_t>;
  static_assert(Count::is_always_lock_free, "read in a signal handler");
  Count rows_sent{0};       // rows handed to the collector's connection
  Count spool_bytes{0};     // bytes in the spool now, not a total
  Count rows_dropped{0};    // unsent rows removed at the spool's limit
  Count reconnects{0};      // connections made again after one was lost
  Count spool_failures{0};  // rows that could not be spooled
  Count rows_confirmed{0};  // rows the collector certainly has
  Count rows_resent{0};     // rows sent again after a lost RELP session
  Count window_waits{0};    // RELP sends that waited for an acknowledgement
  Count tls_failures{0};    // connections refused in the TLS handshake
};

class Forwarder final : public RowObserver {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr std::chrono::seconds kDefaultBackoffMax{60};

  // Keeps its spool in `spool_dir` (made on first use). Reconnects wait 1 s,
  // doubling up to `backoff_max`.
  Forwarder(std::string spool_dir, std::chrono::seconds backoff_max,
            SyslogOrigin origin = local_syslog_origin());
  // Stops the thread first.
  ~Forwarder() override;
  Forwarder(const Forwarder&) = delete;
  Forwarder& operator=(const Forwarder&) = delete;

  // Starts the forwarder thread: 0, or an error number. Owner only.
  int start();

  // Applies the settings of a (re)loaded configuration: the spool folder
  // is made and listed when forwarding comes on, its segments are read by
  // the thread. Main thread.
  void configure(const ForwardSettings& settings) EXCLUDES(mu_);

  // Stages the row in the spool when forwarding is on for its kind; it is
  // sent once its row_done(true) comes. The rows of a pass (several
  // row_prepared() before their row_done() calls, in the same order) are
  // staged one after the other. Main thread.
  void row_prepared(const LogRow& row, std::string_view line) noexcept override
      EXCLUDES(mu_);
  // Notes the outcome of the pass's oldest row not yet done; at the last
  // one, the rows written are counted into the spool, in order, and the
  // others taken back. A row_prepared() after some of a pass's rows were
  // done ends that pass first, its remaining rows as not written. Main
  // thread.
  void row_done(bool written) noexcept override EXCLUDES(mu_);

  // Spools a seal record (seal/sealer.h) as a message of its own when
  // forwarding is on, whatever its kinds. Between passes only. Main thread.
  void forward_seal(std::int64_t time, const std::string& record) noexcept
      EXCLUDES(mu_);

  const ForwardStats& stats() const { return stats_; }

  // Stops and joins the thread (its position written); the counts are
  // final afterwards. Owner only.
  void stop() EXCLUDES(mu_);

 private:
  // What wakes a sleep of the thread besides a stop and new settings.
  enum class Wake { kControl, kRows };

  void run() EXCLUDES(mu_);
  // Takes in what the main thread said since the last look; true to stop.
  bool look() EXCLUDES(mu_);
  // Sleeps until woken (or `timeout` passed).
  void sleep(Wake wake, std::optional<std::chrono::milliseconds> timeout)
      EXCLUDES(mu_);
  void scan_spool();
  // Sends one batch from the spool; returns false when there was none.
  bool send_some();
  // With nothing to send: closes a session whose last rows may still be
  // missing once it has been idle long enough.
  bool settle_idle();
  void send_batch(const Spool::Batch& batch);
  void report_damage(const Spool::Batch& batch);
  void connect_when_due();
  void connect_now() EXCLUDES(mu_);
  // Confirms the rows of this session the collector acknowledged.
  void confirm_acknowledged();
  // Ends the connection: cleanly when `clean`, confirming the rows sent on
  // it that the collector has; the others go again.
  void end_session(bool clean);
  void persist_position();
  // Ends the pass of rows: commits the staged ones written, takes back
  // the others, and wakes the thread for the new rows. Main thread.
  void end_pass() noexcept EXCLUDES(mu_);
  void report_spool_failure(Clock::time_point now);
  // The text of `error`; both threads format errors.
  static std::string error_text(int error);

  // Drops and spool failures are reported at most this often.
  static constexpr std::chrono::seconds kReportInterval{60};
  void report_drops(std::uint64_t dropped, Clock::time_point now);

  const std::string spool_dir_;
  const std::chrono::seconds backoff_max_;
  const SyslogOrigin origin_;
  ForwardStats stats_;
  Spool spool_;  // its own mutex; see above

  // Main thread only.
  ForwardSettings main_settings_;
  // The pass of rows under way: how many were prepared and done, which
  // of them (by number in the pass) have a staged frame, and the outcome
  // of each staged one done so far.
  std::size_t pass_rows_ = 0;
  std::size_t pass_done_ = 0;
  std::vector<std::size_t> pass_staged_;
  std::vector<bool> pass_keep_;
  Clock::time_point last_drop_report_{};
  Clock::time_point last_failure_report_{};
  std::uint64_t unreported_drops_ = 0;

  Mutex mu_;
  CondVar wake_;
  ForwardSettings settings_ GUARDED_BY(mu_);  // the newest, for the thread
  bool poked_ GUARDED_BY(mu_) = false;        // configure() came
  bool target_changed_ GUARDED_BY(mu_) = false;
  bool stop_ GUARDED_BY(mu_) = false;
  // Rows came since the thread looked; and the thread sleeps until one
  // does. Atomic, so that a row costs the main thread mu_ only when the
  // thread sleeps: the thread sets idle_ and then reads rows_ with mu_
  // held before it waits, the main thread sets rows_ and then reads
  // idle_, so one of them sees the other's (sequentially consistent).
  std::atomic<bool> rows_{false};
  std::atomic<bool> idle_{false};

  // Forwarder thread only.
  ForwardSettings active_;  // the settings the thread works with
  std::unique_ptr<Transport> conn_;
  // The send position after each row sent on `conn_` and not confirmed.
  std::deque<Spool::Position> unconfirmed_;
  std::size_t session_confirmed_ = 0;  // rows of `conn_` confirmed
  bool lost_ = false;  // the last connection was lost, not closed
  std::chrono::seconds backoff_{1};
  Clock::time_point next_attempt_{};
  Clock::time_point last_send_{};
  Clock::time_point last_position_report_{};
  bool gathered_ = false;  // the gathering pause before this send is over

  Worker worker_;  // last: joined before the rest goes
};

}  // namespace quillo

#endif  // QUILLO_FORWARD_FORWARDER_H_
