// What the daemon has done since it started, for an operator to read.
//
// Each module keeps its own lock-free counts (HandlerStats, AlertStats,
// NoticeStats, the request loop's RequestStats); the daemon names them in
// one table of rows, in a fixed order. On SIGUSR1 it writes one
// "name value" line per row to standard output and replaces
// "quillod.stats" in the state directory with the same lines. The signal
// handler reads the atomics and formats them without allocating.

#ifndef QUILLO_DAEMON_COUNTERS_H_
#define QUILLO_DAEMON_COUNTERS_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/thread_annotations.h"
#include "support/thread/mutex.h"
#include "support/thread/worker.h"

namespace quillo {

// One line of the dump: `name` and the sum of one or two counts (the
// second may be null). The pointers must stay valid while the dump is
// installed.
struct CounterRow {
  const char* name;
  const std::atomic<std::uint64_t>* count;
  const std::atomic<std::uint64_t>* more = nullptr;
};

// Writes `rows` as "name value\n" lines into `buf`; returns the length, or
// 0 when `size` is too small. Async-signal-safe.
std::size_t format_counters(const CounterRow* rows, std::size_t row_count,
                            char* buf, std::size_t size);

// Makes SIGUSR1 print `rows` on standard output and replace `stats_path`
// (written to a temporary file beside it, then renamed) with them. Call
// once on the main thread before other threads start; at most
// kMaxCounterRows rows are kept.
inline constexpr std::size_t kMaxCounterRows = 64;
void install_counter_dump(const std::string& stats_path,
                          const std::vector<CounterRow>& rows);

// How often the counters file is replaced without a signal, so that a
// reader (quillo-web's /metrics) finds counts no older than that.
inline constexpr std::chrono::seconds kCounterFileEvery{10};

// Replaces the stats file of install_counter_dump() with the counts now,
// through a temporary file of its own (the signal's may be in use). Any
// thread, after install_counter_dump().
void write_counter_file();

// A thread that calls write_counter_file() every `every`.
class CounterFileWriter final {
 public:
  explicit CounterFileWriter(std::chrono::seconds every) : every_(every) {}
  ~CounterFileWriter() { stop(); }
  CounterFileWriter(const CounterFileWriter&) = delete;
  CounterFileWriter& operator=(const CounterFileWriter&) = delete;

  // 0, or the error of the thread's start.
  int start() {
    return worker_.start([this] { loop(); });
  }
  void stop() {
    {
      MutexLock hold(mu_);
      stop_ = true;
    }
    wake_.signal();
    worker_.join();
  }

 private:
  void loop() {
    MutexLock hold(mu_);
    while (!stop_) {
      if (!wake_.wait_for(mu_, every_)) write_counter_file();
    }
  }

  const std::chrono::milliseconds every_;
  Mutex mu_;
  CondVar wake_;
  bool stop_ GUARDED_BY(mu_) = false;
  Worker worker_;  // last: joined before the rest goes
};

}  // namespace quillo

#endif  // QUILLO_DAEMON_COUNTERS_H_
