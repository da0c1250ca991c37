// The daemon's main thread: serves client connections for ever.
//
// It waits on the listening socket and on every client whose request has
// not arrived whole yet at once (at most kMaxPendingPeers, each bounded to
// kRequestTimeout), so no idle or slow client holds up another. Each
// request is handled as soon as its frame is whole, one at a time, in the
// order the frames completed: reload the configuration if a hang-up signal
// came, dispatch the request by type to the system-log or access-log
// handler, answer (00 02 00 00, or 00 02 00 03 for an access row not
// stored) and close.

#ifndef QUILLO_DAEMON_REQUEST_LOOP_H_
#define QUILLO_DAEMON_REQUEST_LOOP_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "alert/alert_thread.h"
#include "forward/forwarder.h"
#include "paths/appliance_paths.h"

// Set by the hang-up handler (main thread only: other threads block the
// signal); tested and cleared by the request loop.
extern std::atomic<bool> g_reload_requested;
static_assert(std::atomic<bool>::is_always_lock_free,
              "set in a signal handler");

// Clients waiting for their frame at once; when full, the oldest goes.
inline constexpr std::size_t kMaxPendingPeers = 256;

// Descriptors kept for the daemon's own work beside the waiting clients:
// standard streams, the listener and its reserve, log, state and spool
// files, directory walks, scripts' pipes, the collector's connection. Under
// a descriptor limit below kMaxPendingPeers + kWorkDescriptors, fewer
// clients wait at once (at least one), so that a record that arrives is
// still written and answered.
inline constexpr std::size_t kWorkDescriptors = 32;

// Longest wait for one request to arrive whole; a client that sends nothing
// or stops mid-frame is dropped without an answer when it has passed.
inline constexpr std::chrono::seconds kRequestTimeout{5};

// What the daemon is run with, fixed at start-up.
struct DaemonSettings {
  quillo::AppliancePaths paths;
  std::string socket;
  AlertThread::Timing alert_timing = AlertThread::kDefaultTiming;
  // Ceiling of the forwarder's reconnect back-off.
  std::chrono::seconds forward_backoff_max =
      quillo::Forwarder::kDefaultBackoffMax;
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
