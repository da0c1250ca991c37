#include "forward/forwarder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "base/console.h"

namespace {

using Clock = std::chrono::steady_clock;

// Bytes taken from the spool for one send to the collector.
constexpr std::size_t kBatchBytes = 64u << 10;
// A send of less than a whole batch waits this long first, so that rows
// coming one by one go out (and wake the collector) a batch at a time.
constexpr std::chrono::milliseconds kGather{20};
// A RELP session with unconfirmed rows and nothing more to send is closed
// cleanly after this long, which confirms them.
constexpr std::chrono::seconds kIdleClose{1};
// Drops and spool failures are reported at most this often.
constexpr std::chrono::seconds kReportInterval{60};

std::string target_name(const ForwardSettings& s) {
  return s.host + ":" + std::to_string(s.port);
}

bool same_target(const ForwardSettings& a, const ForwardSettings& b) {
  return a.enable == b.enable && a.held == b.held && a.host == b.host &&
         a.port == b.port && a.protocol == b.protocol && a.window == b.window &&
         a.tls == b.tls;
}

}  // namespace

Forwarder::Forwarder(std::string spool_dir, std::chrono::seconds backoff_max,
                     SyslogOrigin origin)
    : spool_dir_(std::move(spool_dir)),
      backoff_max_(std::max(backoff_max, std::chrono::seconds(1))),
      origin_(std::move(origin)),
      spool_(spool_dir_, 64u << 20) {
  set_thread_function(&Forwarder::forward_thread);
}

Forwarder::~Forwarder() { stop_and_join(); }

void Forwarder::configure(const ForwardSettings& settings) {
  main_settings_ = settings;
  ThreadLock hold(*this);
  if (settings.enable && !spool_.is_open()) {
    if (spool_.open() != 0) {
      complain("Error: cannot open the forwarding spool " + spool_dir_ + ": " +
               std::strerror(errno) + "\n");
    } else if (const auto stale = spool_.stale_position()) {
      complain("Forward spool position dropped!! " + spool_dir_ +
               "/position said " + std::to_string(stale->seq) + " " +
               std::to_string(stale->offset) +
               ", past every segment; sending from the oldest.\n");
    }
    stats_.spool_bytes = spool_.total_bytes();
  }
  spool_.set_max_bytes(static_cast<std::uint64_t>(settings.max_megabytes)
                       << 20);
  if (!same_target(settings, settings_)) target_changed_ = true;
  settings_ = settings;
  signal();
}

void Forwarder::row_prepared(const WrittenRow& row) noexcept {
  staged_ = false;
  if (!main_settings_.enable) return;
  const bool wanted = row.kind == RowKind::kSystem   ? main_settings_.system
                      : row.kind == RowKind::kAccess ? main_settings_.access
                                                     : main_settings_.alert;
  if (!wanted) return;
  try {
    const std::string frame =
        octet_counted_frame(format_syslog_message(row, origin_));
    std::uint64_t dropped = 0;
    ThreadLock hold(*this);
    const Clock::time_point now = Clock::now();
    if (spool_.stage(frame, &dropped) == 0) {
      staged_ = true;
    } else {
      stats_.spool_failures++;
      if (now - last_failure_report_ >= kReportInterval) {
        last_failure_report_ = now;
        complain("Forward spool write fail!! " +
                 std::string(std::strerror(errno)) + "\n");
      }
    }
    stats_.spool_bytes = spool_.total_bytes();
    if (dropped > 0) {
      stats_.rows_dropped += dropped;
      unreported_drops_ += dropped;
      if (now - last_drop_report_ >= kReportInterval) {
        last_drop_report_ = now;
        complain("Forward spool full!! Dropped " +
                 std::to_string(unreported_drops_) + " unsent rows.\n");
        unreported_drops_ = 0;
      }
    }
  } catch (...) {
    // Out of memory: the row goes to its log file, only its copy is lost.
    stats_.spool_failures++;
  }
}

void Forwarder::row_done(bool written) noexcept {
  if (!staged_) return;
  staged_ = false;
  ThreadLock hold(*this);
  if (written) {
    spool_.commit();
    stats_.spool_bytes = spool_.total_bytes();
    // A busy thread finds the row by itself: no wake-up per row.
    if (idle_) signal();
  } else {
    spool_.discard();
  }
}

void* Forwarder::forward_thread(void* self) {
  static_cast<Forwarder*>(self)->run();
  return nullptr;
}

void Forwarder::run() {
  ThreadLock hold(*this);
  for (;;) {
    if (stop_requested()) {
      end_session(true);
      persist_position();
      return;
    }
    if (target_changed_) {
      target_changed_ = false;
      end_session(true);
      backoff_ = std::chrono::seconds(1);
      next_attempt_ = Clock::now();
    }
    if (!settings_.enable || settings_.held || !spool_.is_open()) {
      // Held rows stay in the spool until settings that can verify the
      // collector come.
      end_session(true);
      persist_position();
      wait(0);
      continue;
    }
    try {
      if (!send_some()) {
        // Idle: the position goes to disk now, and nothing is due until a
        // row, a new configuration or a stop comes.
        persist_position();
        idle_ = true;
        wait(0);
        idle_ = false;
      }
    } catch (...) {
      complain_current_exception();
      wait(1);
    }
  }
}

bool Forwarder::send_some() {
  if (!spool_.has_unsent()) {
    if (unconfirmed_.empty()) return false;  // no connection for nothing
    // The collector may still lack the newest rows: a clean close settles
    // that, unless rows come first.
    const Clock::time_point due = last_send_ + kIdleClose;
    if (Clock::now() < due) {
      idle_ = true;
      wait_for(
          std::chrono::ceil<std::chrono::milliseconds>(due - Clock::now()));
      idle_ = false;
    } else {
      end_session(true);
    }
    return true;
  }
  if (!conn_) {
    const Clock::time_point now = Clock::now();
    if (now < next_attempt_) {
      wait_for(
          std::chrono::ceil<std::chrono::milliseconds>(next_attempt_ - now));
      return true;  // look again: the wait may have been cut short
    }
    connect_now();
    return true;
  }
  Spool::Batch batch = spool_.peek(kBatchBytes);
  stats_.spool_bytes = spool_.total_bytes();
  if (batch.damaged_rows > 0) {
    // Each damaged place is met (and so reported) once.
    stats_.rows_dropped += batch.damaged_rows;
    complain("Forward spool damaged!! Skipped " +
             std::to_string(batch.damaged_rows) + " unsent rows from " +
             spool_.segment_path(batch.damaged_segment) + " at offset " +
             std::to_string(batch.damaged_offset) + ".\n");
  }
  if (batch.bytes.empty()) return false;
  if (!gathered_ && batch.bytes.size() < kBatchBytes / 2) {
    // The mutex is free meanwhile; only a stop or new settings cut this
    // short, and then the loop looks again.
    gathered_ = true;
    wait_for(kGather);
    return true;
  }
  gathered_ = false;
  // Where the batch starts, taken now: while the mutex is free the spool's
  // limit may drop the batch's segment, and the send position with it.
  const Spool::Position start = spool_.position();
  Transport::Sent sent;
  bool closed = false;
  {
    ThreadUnlock release(*this);
    // Bytes written to a connection the collector has closed would be lost
    // without an error: look first.
    closed = conn_->closed_by_peer();
    if (!closed) sent = conn_->send(batch.bytes, batch.frame_ends);
  }
  last_send_ = Clock::now();
  if (sent.frames > 0) {
    spool_.advance(batch, batch.frame_ends[sent.frames - 1], sent.frames);
  }
  stats_.rows_sent += sent.frames;
  stats_.window_waits += sent.window_waits;
  if (conn_->window() == 0) {
    spool_.confirm_sent();
    stats_.rows_confirmed += sent.frames;
  } else {
    for (std::size_t i = 0; i < sent.frames; ++i) {
      unconfirmed_.push_back(Spool::Position{
          start.seq, start.offset + batch.frame_ends[i], start.rows + i + 1});
    }
    confirm_acknowledged();
  }
  if (closed || sent.broken) {
    complain("Forward connection lost!! Reconnecting.\n");
    end_session(false);
    next_attempt_ = Clock::now();
  }
  // After every batch that moved it (one small write and a rename per 64
  // KiB at most), so a daemon killed now sends again only what it had not
  // confirmed: over RELP at most one window.
  persist_position();
  return true;
}

void Forwarder::connect_now() {
  TransportTarget target;
  target.host = settings_.host;
  target.port = settings_.port;
  target.relp = settings_.protocol == "relp";
  target.window = settings_.window;
  target.tls = settings_.tls;
  std::unique_ptr<Transport> conn =
      target.relp ? make_relp_transport(target) : make_tcp_transport(target);
  std::string error;
  bool tls = false;
  bool connected = false;
  {
    ThreadUnlock release(*this);
    connected = conn->connect(&error, &tls);
  }
  if (target_changed_) return;  // settings changed meanwhile: start over
  if (!connected) {
    if (tls) {
      // Nothing goes to a collector that could not be verified; the rows
      // wait in the spool.
      stats_.tls_failures++;
      complain("Forward TLS fail!! " + target_name(settings_) + ": " + error +
               "\n");
    } else {
      complain("Forward connect fail!! " + target_name(settings_) + ": " +
               error + "\n");
    }
    next_attempt_ = Clock::now() + backoff_;
    backoff_ = std::min(backoff_ * 2, backoff_max_);
    return;
  }
  if (lost_) stats_.reconnects++;
  lost_ = false;
  backoff_ = std::chrono::seconds(1);
  conn_ = std::move(conn);
  session_confirmed_ = 0;
}

void Forwarder::confirm_acknowledged() {
  const std::size_t acknowledged = conn_->acknowledged();
  std::uint64_t confirmed = 0;
  while (session_confirmed_ < acknowledged && !unconfirmed_.empty()) {
    spool_.confirm(unconfirmed_.front());
    unconfirmed_.pop_front();
    ++session_confirmed_;
    ++confirmed;
  }
  stats_.rows_confirmed += confirmed;
}

void Forwarder::end_session(bool clean) {
  if (!conn_) return;
  bool delivered = false;
  if (clean) {
    ThreadUnlock release(*this);
    delivered = conn_->close();
  }
  if (conn_->window() != 0) confirm_acknowledged();
  if (delivered) {
    spool_.confirm_sent();
    stats_.rows_confirmed += unconfirmed_.size();
  } else if (!unconfirmed_.empty()) {
    spool_.rewind();
    stats_.rows_resent += unconfirmed_.size();
    if (clean) {
      // The collector answered the close but not every row: it is not
      // taking them. They go again, after a pause that grows as after a
      // failed connection.
      complain("Forward close fail!! " + target_name(settings_) + ": " +
               std::to_string(unconfirmed_.size()) +
               " rows not acknowledged; sending them again.\n");
      next_attempt_ = Clock::now() + backoff_;
      backoff_ = std::min(backoff_ * 2, backoff_max_);
    }
    lost_ = true;
  }
  lost_ = lost_ || !clean;
  unconfirmed_.clear();
  conn_.reset();
  persist_position();
}

void Forwarder::persist_position() {
  if (!spool_.is_open()) return;
  if (spool_.persist() != 0) {
    const Clock::time_point now = Clock::now();
    if (now - last_position_report_ < kReportInterval) return;
    last_position_report_ = now;
    complain("Forward position write fail!! " +
             std::string(std::strerror(errno)) + "\n");
  }
}
