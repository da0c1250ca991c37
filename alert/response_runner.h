// The containment scripts of threshold conditions, run when a condition
// fires, on threads of their own so that neither the request loop nor the
// alert notices wait for them.
//
//   ResponseRunner responses;
//   responses.start();
//   responses.run(job);   // any thread; returns at once
//
// A script runs without a shell: argv is the script and the job's
// arguments; its environment is the daemon's with the job's variables set;
// its standard input is the job's text; every descriptor from 3 up is
// closed, it leads a process group of its own, and the group is killed
// when the script has not ended after the job's timeout. Its output is
// read and kept up to kOutputCap bytes, shown when it fails. A script that
// is not a regular file, or that a user other than root or the daemon's
// own could change (the file or its folder writable by group or others,
// or owned by someone else), is not run. Each job ends as run or failed
// (a non-zero exit, a signal, a time-out, not run), reported on standard
// error when it failed, and counted.

#ifndef QUILLO_ALERT_RESPONSE_RUNNER_H_
#define QUILLO_ALERT_RESPONSE_RUNNER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "base/thread_annotations.h"
#include "support/thread/mutex.h"
#include "support/thread/worker.h"

namespace quillo {

struct ResponseJob {
  std::string script;  // absolute path
  int timeout = 30;    // seconds
  std::vector<std::string> arguments;  // after argv[0]
  std::vector<std::pair<std::string, std::string>> environment;  // set
  std::string input;   // the script's standard input
  std::string what;    // for messages: "alert NAME for user bob"
};

// What the runner has done, for the daemon's counters. Lock-free.
struct ResponseStats {
  using Count = std::atomic<std::uint64_t>;
  Count run{0};     // scripts started
  Count failed{0};  // jobs that did not end with exit status 0
};

class ResponseRunner {
 public:
  // Scripts that may run at the same time: a hung one still leaves room.
  static constexpr std::size_t kThreads = 2;
  // Jobs waiting for a thread; past this a job is refused (and counted;
  // reported once for each run of refusals).
  static constexpr std::size_t kMaxWaiting = 64;
  static constexpr std::size_t kOutputCap = 4096;

  ResponseRunner() = default;
  // stop().
  ~ResponseRunner();
  ResponseRunner(const ResponseRunner&) = delete;
  ResponseRunner& operator=(const ResponseRunner&) = delete;

  // Starts the threads. 0, or an error number. Owner only.
  int start();

  // Drops the jobs not yet started and joins the threads, each after the
  // script it runs has ended (at most its timeout). Owner only.
  void stop() noexcept EXCLUDES(mu_);

  // Queues `job`. Any thread; never waits for a script.
  void run(ResponseJob job) EXCLUDES(mu_);

  const ResponseStats& stats() const { return stats_; }

  // How one job ended.
  struct Result {
    bool started = false;  // the script was run
    std::string failure;   // empty when it exited with 0
    std::string output;    // what it printed, at most kOutputCap bytes
  };
  // Runs `job` on the calling thread; counts into `stats`, when given, a
  // script as run just before it starts.
  static Result execute(const ResponseJob& job,
                        ResponseStats* stats = nullptr);

 private:
  void loop() EXCLUDES(mu_);

  ResponseStats stats_;
  Mutex mu_;
  CondVar wake_;
  bool stop_ GUARDED_BY(mu_) = false;
  std::deque<ResponseJob> jobs_ GUARDED_BY(mu_);
  bool refusing_ GUARDED_BY(mu_) = false;  // the last job was refused
  Worker workers_[kThreads];  // last: joined before the members they use go
};

}  // namespace quillo

#endif  // QUILLO_ALERT_RESPONSE_RUNNER_H_
