// The daemon's main thread: serves one client connection at a time, for
// ever.
//
// Per connection: accept, reload the configuration if a hang-up signal came,
// receive one request (bounded to kRequestTimeout), dispatch it by type to
// the system-log or access-log handler, answer 00 02 00 00 and close.
// Requests are served strictly one after another; further clients wait in
// the listen backlog.

#ifndef QUILLO_DAEMON_REQUEST_LOOP_H_
#define QUILLO_DAEMON_REQUEST_LOOP_H_

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <string>

#include "alert/alert_thread.h"
#include "paths/appliance_paths.h"

// Set by the hang-up handler; tested and cleared by the request loop only.
extern volatile std::sig_atomic_t g_reload_requested;

// Longest wait for one request to arrive whole; a client that sends nothing
// or stops mid-frame is dropped without an answer when it has passed.
inline constexpr std::chrono::seconds kRequestTimeout{5};

// What the daemon is run with, fixed at start-up.
struct DaemonSettings {
  quillo::AppliancePaths paths;
  std::string socket;
  AlertThread::Timing alert_timing = AlertThread::kDefaultTiming;
};

// The request loop's own counts. Lock-free, read by the SIGUSR1 handler.
struct RequestStats {
  using Count = std::atomic<std::uint64_t>;
  Count system{0};
  Count access{0};
  Count other_type{0};
  Count malformed{0};  // empty, incomplete or malformed frames
};

// Creates the configuration, the listening connection and the alert
// thread, installs the SIGUSR1 counter dump, loads the configuration,
// starts the alert thread and serves requests for ever. Returns only by an
// exception from those start-up steps.
void run_request_loop(const DaemonSettings& settings);

#endif  // QUILLO_DAEMON_REQUEST_LOOP_H_
