// The clients of the daemon's socket, from their arrival until their last
// answer has gone out.
//
// A client either sends one request frame and is answered (one-shot), or
// opens a session: its first frame is a session request of the version
// this daemon speaks, answered kResultSessionOpen at once, and after it
// the client sends any number of frames without waiting, answered in
// order. A session ends when the client's stream ends between frames, at
// a frame that is not whole or is refused, or after `idle_bound` without a
// frame; `frame_bound` is the time one frame may take from its first byte
// (from the arrival, for a one-shot client's frame).
//
// The request loop waits on the listening socket and every peer here at
// once, so no idle or slow peer holds up another. One round:
//
//   add() / handle_events()  read what has come and append each frame
//                            that came whole to the round, in order: a
//                            peer's frames one after the other, at most
//                            the peer share (kMaxPeerFrames, or less while
//                            one-shot clients come) of one peer and
//                            kMaxRoundFrames in all; the peers take turns
//                            to come first
//   (the request loop)       sets each whole frame's answer
//   answer()                 queues the answers, in order, sends what fits
//                            without waiting and lets go of the peers that
//                            are done
//
// Answers that do not fit a socket (its client is not reading) wait in the
// peer's output, at most kMaxQueuedAnswers of them with the frames of the
// round: a peer whose output is full is not read until it drains, and a
// peer whose output has not moved for `frame_bound` is let go. A frame that
// did not come whole (stream ended, bound passed, peer let go to make room)
// goes to the round with no peer, for the loop to report.
//
// Main thread only. Owns the peers' descriptors.

#ifndef QUILLO_DAEMON_PEER_SET_H_
#define QUILLO_DAEMON_PEER_SET_H_

#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "base/unique_fd.h"
#include "protocol/packet.h"

namespace quillo {

// Frames taken from one peer in one round: a session that keeps sending
// takes its turn with the others.
inline constexpr std::size_t kMaxPeerFrames = 256;
// The same while one-shot clients are about (set_peer_share()): shorter
// rounds, so that a client that sends one frame waits for few others.
inline constexpr std::size_t kSharedPeerFrames = 32;
// Frames of one round in all, which bounds what a round holds in memory
// (about 16 MiB of bodies at the largest).
inline constexpr std::size_t kMaxRoundFrames = 4096;
// Answers one peer may have waiting: queued but not sent, or owed for
// frames of the round.
inline constexpr std::size_t kMaxQueuedAnswers = 256;

// The sessions' counts. Lock-free, read by the SIGUSR1 handler.
struct SessionStats {
  using Count = std::atomic<std::uint64_t>;
  Count opened{0};
  Count frames{0};  // frames whole inside sessions, the opening one not counted
};

class PeerSet {
 public:
  using Clock = std::chrono::steady_clock;

  struct Peer;  // one client, known to the set only

  // One frame of a round.
  struct Frame {
    // The peer to answer; null for a frame that did not come whole (its
    // peer is let go, or its session ends, without an answer for it).
    // Valid until answer() has taken the round.
    Peer* peer = nullptr;
    RequestData request;  // size 0 when no length arrived
    bool whole = false;
    bool session = false;  // a frame of a session
    // Set by the request loop: the code to answer, or -1 for none, which
    // ends the peer's stream there (no later frame of it is answered).
    int answer = -1;
  };

  // At most `max_peers` at once; `frame_bound` for a frame, `idle_bound`
  // for a session between frames.
  PeerSet(std::size_t max_peers, Clock::duration frame_bound,
          Clock::duration idle_bound);
  ~PeerSet();
  PeerSet(const PeerSet&) = delete;
  PeerSet& operator=(const PeerSet&) = delete;

  // Takes an accepted client (non-blocking) at `now` and reads what it has
  // sent already. Makes room first by letting go of the oldest peer that
  // has no frame in the round.
  void add(base::UniqueFd fd, Clock::time_point now, std::deque<Frame>* round);

  // Appends one pollfd per peer, in the set's order: POLLIN while it is
  // read and has room for answers, POLLOUT while answers wait.
  void append_pollfds(std::vector<pollfd>* fds) const;

  // After poll(): sends waiting answers and reads from every peer whose
  // entry in `fds` (starting at `first`, in the order append_pollfds()
  // wrote them) reported an event, or that holds frames read already;
  // then ends every peer whose bound has passed at `now`.
  void handle_events(const std::vector<pollfd>& fds, std::size_t first,
                     Clock::time_point now, std::deque<Frame>* round);

  // Queues the answers of the round's frames in order, sends what fits and
  // lets go of the peers that are done. The round's peers are not to be
  // used after it.
  void answer(const std::deque<Frame>& round, Clock::time_point now);

  // The earliest bound of a peer; Clock::time_point::min() when a peer
  // holds frames to be taken without waiting, Clock::time_point::max()
  // without peers.
  Clock::time_point next_deadline() const;

  // Whether an answer waits to be sent.
  bool answers_waiting() const;

  // Frames taken from one peer in a round from now on, at most
  // kMaxPeerFrames (the default).
  void set_peer_share(std::size_t frames) {
    peer_share_ = std::min(std::max<std::size_t>(frames, 1), kMaxPeerFrames);
  }

  // Sends the waiting answers, waiting for clients to take them until
  // `until` at the latest; nothing is read.
  void drain(Clock::time_point until);

  std::size_t size() const { return peers_.size(); }
  const SessionStats& stats() const { return stats_; }

 private:
  static std::size_t answer_room(const Peer& peer);
  std::size_t room(const Peer& peer, const std::deque<Frame>& round) const;
  static void stop_reading(Peer& peer, std::deque<Frame>* round);
  void read(Peer& peer, Clock::time_point now, std::deque<Frame>* round);
  void take_frame(Peer& peer, Clock::time_point now, std::deque<Frame>* round);
  void flush(Peer& peer, Clock::time_point now);
  void queue_answer(Peer& peer, std::uint16_t code, Clock::time_point now);
  void check_bounds(Peer& peer, Clock::time_point now,
                    std::deque<Frame>* round);
  void evict_oldest(std::deque<Frame>* round);
  // Drops the peers that are done and have no frame in the round.
  void sweep();

  const std::size_t max_peers_;
  const Clock::duration frame_bound_;
  const Clock::duration idle_bound_;
  std::vector<std::unique_ptr<Peer>> peers_;  // oldest first
  std::size_t first_turn_ = 0;  // the peer read first in the next round
  std::size_t peer_share_ = kMaxPeerFrames;
  SessionStats stats_;
};

}  // namespace quillo

#endif  // QUILLO_DAEMON_PEER_SET_H_
