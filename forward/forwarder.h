// Central collection: every row written to a log file goes, as an RFC 5424
// message in an octet-counted frame, to a durable spool (main thread, before
// the client is answered) and from there, in order, to the site's collector
// over TCP or RELP, either with TLS (the forwarder thread). The request
// loop never waits on the network.
//
// The spool's persisted position only passes rows the collector certainly
// has: over TCP those written to the connection, over RELP those it
// acknowledged (with every row before them). A RELP session is closed
// cleanly after a second without rows, on new settings and at a stop; a
// session lost, or closed with rows unacknowledged, sends them again, so a
// collector or daemon that dies costs at most one window of duplicates.
//
// The main thread calls configure() and row_written(); the forwarder thread
// runs run(). The spool, the settings the thread uses and the reconnect
// schedule are guarded by the Thread mutex, which the thread gives up while
// it connects and writes to the collector.

#ifndef QUILLO_FORWARD_FORWARDER_H_
#define QUILLO_FORWARD_FORWARDER_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "forward/row_sink.h"
#include "forward/spool.h"
#include "forward/syslog_message.h"
#include "forward/transport.h"
#include "support/thread/thread.h"

// The forwarding settings of the configuration.
struct ForwardSettings {
  bool enable = false;
  // Rows are spooled but nothing is sent: the settings could not verify
  // the collector.
  bool held = false;
  std::string host;
  int port = 0;
  std::string protocol = "tcp";  // or "relp"
  int window = 128;              // RELP's send window
  ForwardTls tls;
  bool system = true;
  bool access = true;
  bool alert = true;
  int max_megabytes = 64;
};

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

class Forwarder final : public Thread, public RowSink {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr std::chrono::seconds kDefaultBackoffMax{60};

  // Keeps its spool in `spool_dir` (made on first use). Reconnects wait 1 s,
  // doubling up to `backoff_max`.
  Forwarder(std::string spool_dir, std::chrono::seconds backoff_max,
            SyslogOrigin origin = local_syslog_origin());
  ~Forwarder() override;

  // Applies the settings of a (re)loaded configuration. Main thread.
  void configure(const ForwardSettings& settings);

  // Writes the row to the spool when forwarding is on for its kind; it is
  // sent once row_done(true) comes. Main thread.
  void row_prepared(const WrittenRow& row) noexcept override;
  // Spools the prepared row, or takes it back. Main thread.
  void row_done(bool written) noexcept override;

  const ForwardStats& stats() const { return stats_; }

  // Stops and joins the thread (its position written); the counts are
  // final afterwards. Owner only.
  void stop() { stop_and_join(); }

  // The thread function; `self` is the Forwarder.
  static void* forward_thread(void* self);

 private:
  void run();
  // Sends one batch from the spool; returns false when there was none.
  bool send_some();
  void connect_now();
  // Confirms the rows of this session the collector acknowledged.
  void confirm_acknowledged();
  // Ends the connection: cleanly when `clean`, confirming the rows sent on
  // it that the collector has; the others go again.
  void end_session(bool clean);
  void persist_position();

  const std::string spool_dir_;
  const std::chrono::seconds backoff_max_;
  const SyslogOrigin origin_;
  ForwardStats stats_;

  ForwardSettings main_settings_;  // main thread only
  bool staged_ = false;            // main thread only: a row is prepared

  // Guarded by the Thread mutex.
  ForwardSettings settings_;
  bool target_changed_ = false;
  bool idle_ = false;  // the thread sleeps until a row comes
  Spool spool_;
  Clock::time_point last_drop_report_{};
  Clock::time_point last_failure_report_{};
  std::uint64_t unreported_drops_ = 0;

  // Forwarder thread only.
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
};

#endif  // QUILLO_FORWARD_FORWARDER_H_
