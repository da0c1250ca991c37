// The daemon's side of the socket: the listener and the clients whose
// request frame has not arrived whole yet.
//
// It waits on the listening socket and on every waiting client at once (at
// most kMaxPendingPeers, each bounded to kRequestTimeout), so no idle or
// slow client holds up another; each round hands the request loop the
// clients that finished, in the order they finished. The socket file is
// looked at once a second at most when the loop is busy and once a minute
// when it is idle, and made again when it vanished or was replaced; after
// an accept that failed for want of descriptors with nobody to let go,
// accepting pauses for a second rather than spin.
//
// Main thread only. Owns the listener and the waiting clients.

#ifndef QUILLO_DAEMON_REQUEST_INTAKE_H_
#define QUILLO_DAEMON_REQUEST_INTAKE_H_

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <deque>
#include <string>
#include <vector>

#include "daemon/peer_set.h"
#include "daemon/request_reports.h"
#include "protocol/listener.h"

namespace quillo {

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

class RequestIntake final {
 public:
  using Clock = std::chrono::steady_clock;

  // Reports failed accepts and dropped clients to `reports`, which must
  // outlive it. Makes no system call but getrlimit().
  RequestIntake(std::string socket, RequestReports& reports);

  // Makes the socket and says when the descriptor limit lets fewer clients
  // wait. Raises std::runtime_error when another daemon serves the socket.
  void start();

  // One round: looks at the socket file when due, prints the summaries of
  // held-back messages, waits until a client arrives or sends, a bound
  // passes or a signal comes, and reads and accepts what is there. Appends
  // every client that finished to `finished`.
  void wait(std::deque<PeerSet::Finished>* finished);

 private:
  // Milliseconds poll() may sleep: until the earliest peer's bound, the
  // next look at the socket file, the end of an accept pause or a summary
  // of held-back messages.
  int wait_ms(Clock::time_point now) const;
  void check_listener(Clock::time_point now);
  void accept_one(Clock::time_point now, std::deque<PeerSet::Finished>* finished);

  RequestReports& reports_;
  Listener listener_;
  const std::size_t peer_capacity_;
  PeerSet peers_;
  std::vector<pollfd> fds_;            // of the last poll()
  Clock::time_point next_check_{};     // of the socket file
  Clock::time_point accept_paused_{};  // after a failed accept
};

}  // namespace quillo

#endif  // QUILLO_DAEMON_REQUEST_INTAKE_H_
