#include "daemon/peer_set.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

#include "base/eintr.h"
#include "protocol/frame_reader.h"

namespace quillo {
namespace {

// An answer frame: 2-byte length, 2-byte code.
constexpr std::size_t kAnswerBytes = 4;

// Hands the body of the frame `from` has just finished over to `to`
// without copying it; `from` is left empty for the next frame.
void take_body(RequestData& from, RequestData& to) {
  to.size = from.size;
  to.data = std::move(from.data);
  from.size = 0;
  from.entries.clear();
}

// A session request of the version this daemon speaks. Any other type-2
// frame is left to the request loop, which answers it as a type it does
// not know: the client then sends one record per connection.
bool opens_session(RequestData& request) {
  if (request.type_code() != static_cast<int>(RequestType::Session)) {
    return false;
  }
  request.reload_entry();
  const ReqSession session(request);
  return session.well_formed() && session.version() == kSessionVersion;
}

}  // namespace

struct PeerSet::Peer {
  base::UniqueFd fd;
  FrameReader reader;
  RequestData request;      // the frame being read
  bool session = false;
  bool reading = true;      // more frames are to be read from it
  bool refused = false;     // a frame went unanswered: no later one is
  bool failed = false;      // a send failed or its bound passed
  bool holds_frames = false;  // stopped at a limit with bytes held
  std::size_t unanswered = 0;  // its frames in the round
  std::vector<unsigned char> out;  // answers not sent yet
  Clock::time_point read_deadline;
  Clock::time_point send_deadline;  // while `out` is not empty
};

PeerSet::PeerSet(std::size_t max_peers, Clock::duration frame_bound,
                 Clock::duration idle_bound)
    : max_peers_(max_peers > 0 ? max_peers : 1),
      frame_bound_(frame_bound),
      idle_bound_(idle_bound) {}

PeerSet::~PeerSet() = default;

// How many more answers `peer` may owe: queued and not sent, or for its
// frames in the round.
std::size_t PeerSet::answer_room(const Peer& peer) {
  const std::size_t owed =
      (peer.out.size() + kAnswerBytes - 1) / kAnswerBytes + peer.unanswered;
  return owed < kMaxQueuedAnswers ? kMaxQueuedAnswers - owed : 0;
}

// How many more frames `peer` may give this round: its turn, its room for
// answers and the round's room.
std::size_t PeerSet::room(const Peer& peer,
                          const std::deque<Frame>& round) const {
  const std::size_t in_round =
      round.size() < kMaxRoundFrames ? kMaxRoundFrames - round.size() : 0;
  return std::min({peer_share_, answer_room(peer), in_round});
}

// A peer whose stream ended, whose bound passed or that is let go: a frame
// it had begun, and the frame a one-shot peer never sent, go to the round
// for the loop to report; a session between frames simply ends.
void PeerSet::stop_reading(Peer& peer, std::deque<Frame>* round) {
  if (!peer.reading) return;
  peer.reading = false;
  if (peer.session && !peer.reader.mid_frame()) return;
  round->emplace_back();
  take_body(peer.request, round->back().request);
}

void PeerSet::take_frame(Peer& peer, Clock::time_point now,
                         std::deque<Frame>* round) {
  if (!peer.session) {
    if (opens_session(peer.request)) {
      peer.session = true;
      stats_.opened++;
      peer.request.set_size(0);
      queue_answer(peer, kResultSessionOpen, now);
      return;
    }
    peer.reading = false;  // a one-shot peer's one frame
  } else {
    stats_.frames++;
  }
  round->emplace_back();
  Frame& frame = round->back();
  frame.peer = &peer;
  frame.whole = true;
  frame.session = peer.session;
  take_body(peer.request, frame.request);
  ++peer.unanswered;
}

void PeerSet::read(Peer& peer, Clock::time_point now,
                   std::deque<Frame>* round) {
  const std::size_t limit = room(peer, *round);
  const bool was_mid_frame = peer.reader.mid_frame();
  std::size_t taken = 0;
  peer.holds_frames = false;
  while (peer.reading && taken < limit) {
    const FrameReader::Status status =
        peer.reader.read(peer.fd.get(), peer.request);
    if (status == FrameReader::Status::kMore) break;
    if (status == FrameReader::Status::kEnded) {
      stop_reading(peer, round);
      break;
    }
    ++taken;
    take_frame(peer, now, round);
  }
  // Frames already read into the reader wake no poll(): the next round
  // takes them at once.
  if (peer.reading && taken == limit) peer.holds_frames = peer.reader.held() > 0;
  if (!peer.session || !peer.reading) return;
  if (peer.reader.mid_frame()) {
    if (taken > 0 || !was_mid_frame) peer.read_deadline = now + frame_bound_;
  } else if (taken > 0) {
    peer.read_deadline = now + idle_bound_;
  }
}

void PeerSet::queue_answer(Peer& peer, std::uint16_t code,
                           Clock::time_point now) {
  if (peer.out.empty()) peer.send_deadline = now + frame_bound_;
  append_frame(ResultData(code), &peer.out);
}

// Sends what fits of the waiting answers. A peer that had no room for
// answers and has some again is read again, with a fresh bound.
void PeerSet::flush(Peer& peer, Clock::time_point now) {
  if (peer.out.empty() || peer.failed) return;
  const bool was_full = answer_room(peer) == 0;
  const ssize_t n = base::retry_eintr([&] {
    return ::send(peer.fd.get(), peer.out.data(), peer.out.size(),
                  MSG_NOSIGNAL | MSG_DONTWAIT);
  });
  if (n < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK) peer.failed = true;
    return;
  }
  peer.out.erase(peer.out.begin(), peer.out.begin() + n);
  if (n > 0) peer.send_deadline = now + frame_bound_;
  if (was_full && peer.reading && n > 0) {
    peer.read_deadline =
        now + (peer.reader.mid_frame() ? frame_bound_ : idle_bound_);
  }
}

void PeerSet::check_bounds(Peer& peer, Clock::time_point now,
                           std::deque<Frame>* round) {
  if (!peer.out.empty() && peer.send_deadline <= now) peer.failed = true;
  // A peer with no room for answers is waited for by its send bound.
  if (peer.reading && answer_room(peer) > 0 && peer.read_deadline <= now) {
    stop_reading(peer, round);
  }
}

void PeerSet::evict_oldest(std::deque<Frame>* round) {
  for (auto it = peers_.begin(); it != peers_.end(); ++it) {
    if ((*it)->unanswered > 0) continue;
    stop_reading(**it, round);
    peers_.erase(it);
    return;
  }
}

void PeerSet::add(base::UniqueFd fd, Clock::time_point now,
                  std::deque<Frame>* round) {
  sweep();
  if (peers_.size() >= max_peers_) evict_oldest(round);
  peers_.push_back(std::make_unique<Peer>());
  Peer& peer = *peers_.back();
  peer.fd = std::move(fd);
  peer.read_deadline = now + frame_bound_;
  // Most clients send their frame right after connecting: it is usually
  // here already.
  read(peer, now, round);
}

void PeerSet::append_pollfds(std::vector<pollfd>* fds) const {
  for (const auto& peer : peers_) {
    short events = 0;
    if (peer->reading && answer_room(*peer) > 0) events |= POLLIN;
    if (!peer->out.empty()) events |= POLLOUT;
    fds->push_back({peer->fd.get(), events, 0});
  }
}

void PeerSet::handle_events(const std::vector<pollfd>& fds, std::size_t first,
                            Clock::time_point now, std::deque<Frame>* round) {
  const std::size_t n = peers_.size();
  for (std::size_t turn = 0; turn < n; ++turn) {
    const std::size_t i = (first_turn_ + turn) % n;
    Peer& peer = *peers_[i];
    const short revents = first + i < fds.size() ? fds[first + i].revents : 0;
    if (revents != 0) flush(peer, now);
    if (peer.reading && !peer.failed && (revents != 0 || peer.holds_frames)) {
      read(peer, now, round);
    }
  }
  first_turn_ = n > 0 ? (first_turn_ + 1) % n : 0;
  for (const auto& peer : peers_) check_bounds(*peer, now, round);
  sweep();
}

void PeerSet::answer(const std::deque<Frame>& round, Clock::time_point now) {
  for (const Frame& frame : round) {
    Peer* peer = frame.peer;
    if (peer == nullptr) continue;
    --peer->unanswered;
    if (peer->refused) continue;
    if (frame.answer < 0) {
      // The answers before it still go out; nothing after it is read.
      peer->refused = true;
      peer->reading = false;
      continue;
    }
    queue_answer(*peer, static_cast<std::uint16_t>(frame.answer), now);
  }
  for (const auto& peer : peers_) flush(*peer, now);
  sweep();
}

void PeerSet::sweep() {
  const auto done = [](const std::unique_ptr<Peer>& peer) {
    return peer->unanswered == 0 &&
           (peer->failed || (!peer->reading && peer->out.empty()));
  };
  peers_.erase(std::remove_if(peers_.begin(), peers_.end(), done),
               peers_.end());
}

bool PeerSet::answers_waiting() const {
  return std::any_of(peers_.begin(), peers_.end(), [](const auto& peer) {
    return !peer->failed && !peer->out.empty();
  });
}

void PeerSet::drain(Clock::time_point until) {
  std::vector<pollfd> fds;
  for (;;) {
    fds.clear();
    std::vector<Peer*> waiting;
    for (const auto& peer : peers_) {
      if (peer->failed || peer->out.empty()) continue;
      fds.push_back({peer->fd.get(), POLLOUT, 0});
      waiting.push_back(peer.get());
    }
    const Clock::time_point now = Clock::now();
    if (waiting.empty() || now >= until) return;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(until - now);
    const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(ms.count()));
    if (ready < 0 && errno != EINTR) return;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      if ((fds[i].revents & POLLOUT) == 0) {
        waiting[i]->failed = true;  // gone, or an error
        continue;
      }
      flush(*waiting[i], Clock::now());
    }
  }
}

PeerSet::Clock::time_point PeerSet::next_deadline() const {
  Clock::time_point earliest = Clock::time_point::max();
  for (const auto& peer : peers_) {
    if (peer->reading && answer_room(*peer) > 0) {
      if (peer->holds_frames) return Clock::time_point::min();
      earliest = std::min(earliest, peer->read_deadline);
    }
    if (!peer->out.empty()) earliest = std::min(earliest, peer->send_deadline);
  }
  return earliest;
}

}  // namespace quillo
