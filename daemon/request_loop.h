// The daemon's main thread: serves client connections for ever.
//
// It serves in rounds. The request intake (daemon/request_intake.h) waits
// for the clients' frames, one-shot or in sessions, and hands over those
// that came whole; the round (daemon/request_round.h) dispatches them by
// type to the system-log and access-log handlers, writes their rows with
// one group commit and decides the answers (00 02 00 00, or 00 02 00 03 for
// an access row not stored), which the intake then sends, in order, before
// it closes one-shot clients. A hang-up signal (daemon/signals.h) reloads
// the configuration between rounds.

#ifndef QUILLO_DAEMON_REQUEST_LOOP_H_
#define QUILLO_DAEMON_REQUEST_LOOP_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "alert/alert_thread.h"
#include "forward/forwarder.h"
#include "paths/appliance_paths.h"

namespace quillo {

// What the daemon is run with, fixed at start-up.
struct DaemonSettings {
  quillo::AppliancePaths paths;
  std::string socket;
  quillo::AlertThread::Timing alert_timing = quillo::AlertThread::kDefaultTiming;
  // Ceiling of the forwarder's reconnect back-off.
  std::chrono::seconds forward_backoff_max =
      quillo::Forwarder::kDefaultBackoffMax;
  // Overrides the configuration's seal epoch when above zero.
  std::chrono::seconds seal_epoch{0};
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

}  // namespace quillo

#endif  // QUILLO_DAEMON_REQUEST_LOOP_H_
