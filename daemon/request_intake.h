// The daemon's side of the socket: the listener and its clients, one-shot
// or in a session (daemon/peer_set.h), from their arrival to their last
// answer.
//
// It waits on the listening socket and on every client at once (at most
// kMaxPendingPeers, each frame bounded to kRequestTimeout, a session
// between frames to kSessionIdleTimeout), so no idle or slow client holds
// up another; each round hands the request loop the frames that came, in
// order, and takes their answers back. The socket file is
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
// or stops mid-frame is dropped without an answer when it has passed. The
// same bound holds for answers a client does not take.
inline constexpr std::chrono::seconds kRequestTimeout{5};

// Longest wait in a session for the next frame to begin; the session then
// ends as if the client had closed it.
inline constexpr std::chrono::seconds kSessionIdleTimeout{60};

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
  // held-back messages, waits until a client arrives, sends or takes its
  // answers, a bound passes or a signal comes, and reads and accepts what
  // is there. Appends the round's frames to `round`.
  void wait(std::deque<PeerSet::Frame>* round);

  // Sends the answers the request loop set in `round` and lets go of the
  // clients that are done. May be called for parts of a round, each frame
  // once; the clients of frames still to be answered stay.
  void answer(const std::deque<PeerSet::Frame>& round);

  // Whether answers wait to be sent.
  bool answers_waiting() const { return peers_.answers_waiting(); }

  // A time the wait ends at, for work of the loop's own (the seal epoch);
  // Clock::time_point::max() for none.
  void set_wake_at(Clock::time_point when) { wake_at_ = when; }

  // Before a stop: sends the waiting answers, giving the clients at most
  // kRequestTimeout to take them.
  void drain_answers() { peers_.drain(Clock::now() + kRequestTimeout); }

  const SessionStats& session_stats() const { return peers_.stats(); }

 private:
  // Milliseconds poll() may sleep: until the earliest peer's bound, the
  // next look at the socket file, the end of an accept pause or a summary
  // of held-back messages.
  int wait_ms(Clock::time_point now) const;
  void wait_for_frames(std::deque<PeerSet::Frame>* round);
  void check_listener(Clock::time_point now);
  void accept_one(Clock::time_point now, std::deque<PeerSet::Frame>* round);
  // Shortens the sessions' share of a round while one-shot clients come.
  void share_rounds(Clock::time_point now,
                    const std::deque<PeerSet::Frame>& round);

  RequestReports& reports_;
  Listener listener_;
  const std::size_t peer_capacity_;
  PeerSet peers_;
  std::vector<pollfd> fds_;            // of the last poll()
  Clock::time_point next_check_{};     // of the socket file
  Clock::time_point accept_paused_{};  // after a failed accept
  Clock::time_point shared_until_{};   // of the shorter session share
  Clock::time_point wake_at_ = Clock::time_point::max();
};

}  // namespace quillo

#endif  // QUILLO_DAEMON_REQUEST_INTAKE_H_
