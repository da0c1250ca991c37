// Clients whose request frame has not arrived whole yet.
//
// The request loop waits on the listening socket and on every peer here at
// once, so an idle or slow peer never holds up another: each peer's bytes
// are read as they come, and a peer leaves the set as soon as its frame is
// whole, its stream ends, its time bound passes, or it is the oldest when
// the set is full and another client arrives. Each leaving peer becomes a
// Finished entry, in the order they left.
//
// Main thread only. Owns the peers' descriptors.

#ifndef QUILLO_DAEMON_PEER_SET_H_
#define QUILLO_DAEMON_PEER_SET_H_

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <deque>
#include <vector>

#include "base/unique_fd.h"
#include "protocol/frame_reader.h"
#include "protocol/packet.h"

namespace quillo {

class PeerSet {
 public:
  using Clock = std::chrono::steady_clock;

  struct Finished {
    base::UniqueFd fd;
    RequestData request;  // size 0 when no length arrived
    bool whole = false;           // the frame arrived whole
  };

  // At most `max_peers` at once; each has `bound` from its arrival to send
  // its whole frame.
  PeerSet(std::size_t max_peers, Clock::duration bound);

  // Takes an accepted client (non-blocking) at `now` and reads what it has
  // sent already. Makes room first by finishing the oldest peer.
  void add(base::UniqueFd fd, Clock::time_point now,
           std::deque<Finished>* finished);

  // Appends one pollfd (POLLIN) per peer, in the set's order.
  void append_pollfds(std::vector<pollfd>* fds) const;

  // After poll(): reads from every peer whose entry in `fds` (starting at
  // `first`, in the order append_pollfds() wrote them) reported an event,
  // then finishes every peer whose bound has passed at `now`.
  void handle_events(const std::vector<pollfd>& fds, std::size_t first,
                     Clock::time_point now, std::deque<Finished>* finished);

  // The earliest bound of a peer; Clock::time_point::max() without peers.
  Clock::time_point next_deadline() const;

  std::size_t size() const { return peers_.size(); }

 private:
  struct Peer {
    base::UniqueFd fd;
    FrameReader reader;
    RequestData request;
    Clock::time_point deadline;
  };

  // Reads what has arrived; true when the peer is finished.
  static bool read(Peer& peer, std::deque<Finished>* finished);
  static void finish(Peer& peer, bool whole, std::deque<Finished>* finished);

  const std::size_t max_peers_;
  const Clock::duration bound_;
  std::vector<Peer> peers_;  // oldest first
};

}  // namespace quillo

#endif  // QUILLO_DAEMON_PEER_SET_H_
