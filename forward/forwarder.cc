#include "forward/forwarder.h"

#include <string.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "base/console.h"

namespace quillo {
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
// After an unexpected error the thread pauses this long.
constexpr std::chrono::seconds kErrorPause{1};
std::chrono::milliseconds until(Clock::time_point when) {
  return std::chrono::ceil<std::chrono::milliseconds>(when - Clock::now());
}

}  // namespace

std::string Forwarder::error_text(int error) {
  char buf[256];
  return ::strerror_r(error, buf, sizeof(buf));
}

Forwarder::Forwarder(std::string spool_dir, std::chrono::seconds backoff_max,
                     SyslogOrigin origin)
    : spool_dir_(std::move(spool_dir)),
      backoff_max_(std::max(backoff_max, std::chrono::seconds(1))),
      origin_(std::move(origin)),
      spool_(spool_dir_, 64u << 20) {}

Forwarder::~Forwarder() { stop(); }

int Forwarder::start() {
  return worker_.start([this] { run(); });
}

void Forwarder::stop() {
  {
    MutexLock hold(mu_);
    stop_ = true;
  }
  wake_.signal();
  worker_.join();
}

void Forwarder::configure(const ForwardSettings& settings) {
  main_settings_ = settings;
  if (settings.enable && !spool_.is_open()) {
    if (spool_.prepare() != 0) {
      base::complain("Error: cannot open the forwarding spool " + spool_dir_ +
                     ": " + error_text(errno) + "\n");
    } else if (const auto stale = spool_.stale_position()) {
      base::complain("Forward spool position dropped!! " + spool_dir_ +
                     "/position said " + std::to_string(stale->seq) + " " +
                     std::to_string(stale->offset) +
                     ", past every segment; sending from the oldest.\n");
    }
  }
  spool_.set_max_bytes(static_cast<std::uint64_t>(settings.max_megabytes)
                       << 20);
  {
    MutexLock hold(mu_);
    if (!settings.same_target(settings_)) target_changed_ = true;
    settings_ = settings;
    poked_ = true;
  }
  wake_.signal();
}

bool Forwarder::look() {
  bool changed = false;
  {
    MutexLock hold(mu_);
    if (stop_) return true;
    rows_ = false;  // what came so far is in the spool for this pass
    if (poked_) active_ = settings_;
    poked_ = false;
    changed = target_changed_;
    target_changed_ = false;
  }
  if (changed) {
    end_session(true);
    backoff_ = std::chrono::seconds(1);
    next_attempt_ = Clock::now();
  }
  return false;
}

void Forwarder::sleep(Wake wake,
                      std::optional<std::chrono::milliseconds> timeout) {
  const Clock::time_point deadline =
      timeout ? Clock::now() + *timeout : Clock::time_point::max();
  MutexLock hold(mu_);
  const auto woken = [&]() REQUIRES(mu_) {
    return stop_ || poked_ || (wake == Wake::kRows && rows_);
  };
  idle_ = wake == Wake::kRows;
  while (!woken()) {
    if (!timeout) {
      wake_.wait(mu_);
    } else if (Clock::now() >= deadline ||
               !wake_.wait_for(mu_, until(deadline))) {
      break;
    }
  }
  idle_ = false;
}

void Forwarder::run() {
  while (!look()) {
    if (spool_.needs_scan()) scan_spool();
    if (!active_.enable || active_.held || !spool_.is_open()) {
      // Held rows stay in the spool until settings that can verify the
      // collector come.
      end_session(true);
      persist_position();
      sleep(Wake::kControl, std::nullopt);
      continue;
    }
    try {
      if (!send_some()) {
        // Idle: the position goes to disk now, and nothing is due until a
        // row, a new configuration or a stop comes.
        persist_position();
        sleep(Wake::kRows, std::nullopt);
      }
    } catch (...) {
      base::complain_current_exception();
      sleep(Wake::kControl, kErrorPause);
    }
  }
  end_session(true);
  persist_position();
}

void Forwarder::scan_spool() {
  spool_.scan();
  stats_.spool_bytes = spool_.total_bytes();
}

bool Forwarder::settle_idle() {
  if (unconfirmed_.empty()) return false;  // no connection for nothing
  // The collector may still lack the newest rows: a clean close settles
  // that, unless rows come first.
  const Clock::time_point due = last_send_ + kIdleClose;
  if (Clock::now() < due) {
    sleep(Wake::kRows, until(due));
  } else {
    end_session(true);
  }
  return true;
}

void Forwarder::connect_when_due() {
  if (Clock::now() < next_attempt_) {
    // Looked at again after: the sleep may have been cut short.
    sleep(Wake::kControl, until(next_attempt_));
    return;
  }
  connect_now();
}

bool Forwarder::send_some() {
  if (!spool_.has_unsent()) return settle_idle();
  if (!conn_) {
    connect_when_due();
    return true;
  }
  const Spool::Batch batch = spool_.peek(kBatchBytes);
  stats_.spool_bytes = spool_.total_bytes();
  report_damage(batch);
  if (batch.bytes.empty()) return false;
  if (!gathered_ && batch.bytes.size() < kBatchBytes / 2) {
    // Only a stop or new settings cut this short, and then the loop looks
    // again.
    gathered_ = true;
    sleep(Wake::kControl, kGather);
    return true;
  }
  gathered_ = false;
  send_batch(batch);
  // After every batch that moved it (one small write and a rename per 64
  // KiB at most), so a daemon killed now sends again only what it had not
  // confirmed: over RELP at most one window.
  persist_position();
  return true;
}

void Forwarder::report_damage(const Spool::Batch& batch) {
  if (batch.damaged_rows == 0) return;
  // Each damaged place is met (and so reported) once.
  stats_.rows_dropped += batch.damaged_rows;
  base::complain("Forward spool damaged!! Skipped " +
                 std::to_string(batch.damaged_rows) + " unsent rows from " +
                 spool_.segment_path(batch.damaged_segment) + " at offset " +
                 std::to_string(batch.damaged_offset) + ".\n");
}

void Forwarder::send_batch(const Spool::Batch& batch) {
  // Bytes written to a connection the collector has closed would be lost
  // without an error: look first.
  const bool closed = conn_->closed_by_peer();
  Transport::Sent sent;
  if (!closed) sent = conn_->send(batch.bytes, batch.frame_ends);
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
    // Where each row ends, from the batch itself: the spool's limit may
    // have dropped the batch's segment, and the send position with it.
    for (std::size_t i = 0; i < sent.frames; ++i) {
      unconfirmed_.push_back(Spool::Position{batch.segment,
                                             batch.offset + batch.frame_ends[i],
                                             batch.rows + i + 1});
    }
    confirm_acknowledged();
  }
  if (closed || sent.broken) {
    base::complain("Forward connection lost!! Reconnecting.\n");
    end_session(false);
    next_attempt_ = Clock::now();
  }
}

void Forwarder::connect_now() {
  std::unique_ptr<Transport> conn = make_transport(active_);
  std::string error;
  bool tls = false;
  const bool connected = conn->connect(&error, &tls);
  {
    MutexLock hold(mu_);
    if (target_changed_) return;  // settings changed meanwhile: start over
  }
  if (!connected) {
    if (tls) {
      // Nothing goes to a collector that could not be verified; the rows
      // wait in the spool.
      stats_.tls_failures++;
      base::complain("Forward TLS fail!! " + active_.target_name() + ": " +
                     error + "\n");
    } else {
      base::complain("Forward connect fail!! " + active_.target_name() + ": " +
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
  const bool delivered = clean && conn_->close();
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
      base::complain("Forward close fail!! " + active_.target_name() + ": " +
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
  if (!spool_.is_open() || spool_.persist() == 0) return;
  const int error = errno;
  const Clock::time_point now = Clock::now();
  if (now - last_position_report_ < kReportInterval) return;
  last_position_report_ = now;
  base::complain("Forward position write fail!! " + error_text(error) + "\n");
}

}  // namespace quillo
