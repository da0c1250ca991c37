// The forwarder's main-thread side: the rows the log store offers, staged
// in the spool before their lines are written and counted in after.

#include <algorithm>
#include <cerrno>
#include <string>

#include "base/console.h"
#include "forward/forwarder.h"

namespace quillo {

void Forwarder::row_prepared(const LogRow& row,
                             std::string_view line) noexcept {
  if (pass_done_ > 0) end_pass();
  const std::size_t number = pass_rows_++;
  if (!main_settings_.enable || !main_settings_.forwards(row.kind)) return;
  try {
    const std::string frame =
        octet_counted_frame(format_syslog_message(row, line, origin_));
    std::uint64_t dropped = 0;
    const int result = spool_.stage(frame, &dropped);
    const Clock::time_point now = Clock::now();
    if (result == 0) {
      pass_staged_.push_back(number);
      // Room for every outcome, so that row_done() does not allocate.
      pass_keep_.reserve(pass_staged_.size());
    } else {
      report_spool_failure(now);
    }
    stats_.spool_bytes = spool_.total_bytes();
    if (dropped > 0) report_drops(dropped, now);
  } catch (...) {
    // Out of memory: the row goes to its log file, only its copy is lost.
    stats_.spool_failures++;
  }
}

void Forwarder::report_spool_failure(Clock::time_point now) {
  const int error = errno;
  stats_.spool_failures++;
  if (now - last_failure_report_ < kReportInterval) return;
  last_failure_report_ = now;
  base::complain("Forward spool write fail!! " + error_text(error) + "\n");
}

void Forwarder::report_drops(std::uint64_t dropped, Clock::time_point now) {
  stats_.rows_dropped += dropped;
  unreported_drops_ += dropped;
  if (now - last_drop_report_ < kReportInterval) return;
  last_drop_report_ = now;
  base::complain("Forward spool full!! Dropped " +
                 std::to_string(unreported_drops_) + " unsent rows.\n");
  unreported_drops_ = 0;
}

void Forwarder::row_done(bool written) noexcept {
  if (pass_done_ >= pass_rows_) return;  // nothing prepared
  const std::size_t number = pass_done_++;
  const std::size_t next = pass_keep_.size();
  if (next < pass_staged_.size() && pass_staged_[next] == number) {
    try {
      pass_keep_.push_back(written);
    } catch (...) {
      // Not reached (the room was reserved); the pass is then taken back.
    }
  }
  if (pass_done_ == pass_rows_) end_pass();
}

void Forwarder::forward_seal(std::int64_t time,
                             const std::string& record) noexcept {
  if (!main_settings_.enable) return;
  if (pass_rows_ > 0) end_pass();
  try {
    const std::string frame =
        octet_counted_frame(format_seal_message(time, record, origin_));
    std::uint64_t dropped = 0;
    if (spool_.stage(frame, &dropped) != 0) {
      report_spool_failure(Clock::now());
      return;
    }
    if (dropped > 0) report_drops(dropped, Clock::now());
    pass_staged_.push_back(0);
    pass_keep_.push_back(true);
    pass_rows_ = 1;
    pass_done_ = 1;
    end_pass();
  } catch (...) {
    stats_.spool_failures++;
  }
}

void Forwarder::end_pass() noexcept {
  std::size_t wanted = 0;
  std::size_t committed = 0;
  if (!pass_staged_.empty()) {
    try {
      // Rows that were never done count as not written.
      pass_keep_.resize(pass_staged_.size(), false);
      wanted = static_cast<std::size_t>(
          std::count(pass_keep_.begin(), pass_keep_.end(), true));
      committed = spool_.commit_kept(pass_keep_);
    } catch (...) {
      spool_.discard();
    }
  }
  if (committed < wanted) stats_.spool_failures += wanted - committed;
  pass_rows_ = 0;
  pass_done_ = 0;
  pass_staged_.clear();
  pass_keep_.clear();
  if (committed == 0) return;
  stats_.spool_bytes = spool_.total_bytes();
  rows_ = true;
  // A busy thread finds the rows by itself: no wake-up per pass.
  if (!idle_) return;
  MutexLock hold(mu_);  // so the signal cannot come before its wait
  wake_.signal();
}

}  // namespace quillo
