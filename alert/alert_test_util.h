// Test helper: a batch handler that records what the alert thread hands
// out, and short timings for the thread. Test code only.

#ifndef QUILLO_ALERT_ALERT_TEST_UTIL_H_
#define QUILLO_ALERT_ALERT_TEST_UTIL_H_

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "alert/alert_thread.h"

namespace quillo_test {

struct Batch {
  std::string name;
  std::vector<std::string> rows;
  std::string summary;  // a threshold batch's summary line; else empty
};

// Records the batches the thread hands out; waits (bounded) for them.
class Recorder {
 public:
  // Each batch answers as if its mail went out to `mail`.
  quillo::AlertThread::BatchHandler handler(quillo::MailOutcome mail = {}) {
    return [this, mail](const std::string& name,
                        const std::vector<std::string>& rows) {
      std::lock_guard<std::mutex> lock(mutex_);
      batches_.push_back(Batch{name, rows, ""});
      changed_.notify_all();
      return quillo::BatchOutcome{false, mail};
    };
  }

  // The same for threshold batches; the first `keep` of them answer that
  // their notices could not go out.
  quillo::AlertThread::RateBatchHandler rate_handler(int keep = 0) {
    return [this, keep](const std::string& name,
                        const std::vector<std::string>& rows,
                        const quillo::BatchSummary& summary) mutable {
      std::lock_guard<std::mutex> lock(mutex_);
      batches_.push_back(
          Batch{name, rows, quillo::batch_summary_line(summary, rows.size())});
      changed_.notify_all();
      return quillo::BatchOutcome{keep-- > 0, {}};
    };
  }

  // The first `n` batches, or fewer if they did not come within the bound.
  std::vector<Batch> wait_for(std::size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(30),
                      [&] { return batches_.size() >= n; });
    return batches_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Batch> batches_;
};

// A second of wait and two of quiet: a batch comes about two seconds after
// its last row.
inline constexpr quillo::AlertThread::Timing kFast{1, 2, 1024};

}  // namespace quillo_test

#endif  // QUILLO_ALERT_ALERT_TEST_UTIL_H_
