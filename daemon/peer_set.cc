#include "daemon/peer_set.h"

#include <algorithm>
#include <utility>

namespace quillo {

PeerSet::PeerSet(std::size_t max_peers, Clock::duration bound)
    : max_peers_(max_peers > 0 ? max_peers : 1), bound_(bound) {}

void PeerSet::finish(Peer& peer, bool whole, std::deque<Finished>* finished) {
  Finished done;
  done.fd = std::move(peer.fd);
  done.request = std::move(peer.request);
  done.whole = whole;
  finished->push_back(std::move(done));
}

bool PeerSet::read(Peer& peer, std::deque<Finished>* finished) {
  switch (peer.reader.read(peer.fd.get(), peer.request)) {
    case FrameReader::Status::kMore:
      return false;
    case FrameReader::Status::kDone:
      finish(peer, true, finished);
      return true;
    case FrameReader::Status::kEnded:
      break;
  }
  finish(peer, false, finished);
  return true;
}

void PeerSet::add(base::UniqueFd fd, Clock::time_point now,
                  std::deque<Finished>* finished) {
  if (peers_.size() >= max_peers_) {
    finish(peers_.front(), false, finished);
    peers_.erase(peers_.begin());
  }
  Peer peer;
  peer.fd = std::move(fd);
  peer.deadline = now + bound_;
  // Most clients send their frame right after connecting: it is usually
  // here already, and then the peer never waits in the set.
  if (!read(peer, finished)) peers_.push_back(std::move(peer));
}

void PeerSet::append_pollfds(std::vector<pollfd>* fds) const {
  for (const Peer& peer : peers_) fds->push_back({peer.fd.get(), POLLIN, 0});
}

void PeerSet::handle_events(const std::vector<pollfd>& fds, std::size_t first,
                            Clock::time_point now,
                            std::deque<Finished>* finished) {
  std::vector<bool> gone(peers_.size(), false);
  for (std::size_t i = 0; i < peers_.size() && first + i < fds.size(); ++i) {
    if (fds[first + i].revents != 0) gone[i] = read(peers_[i], finished);
  }
  for (std::size_t i = 0; i < peers_.size(); ++i) {
    if (!gone[i] && peers_[i].deadline <= now) {
      finish(peers_[i], false, finished);
      gone[i] = true;
    }
  }
  // No peer is moved onto itself: a moved-onto-itself reader may lose what
  // it holds.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < peers_.size(); ++i) {
    if (gone[i]) continue;
    if (kept != i) peers_[kept] = std::move(peers_[i]);
    ++kept;
  }
  peers_.resize(kept);
}

PeerSet::Clock::time_point PeerSet::next_deadline() const {
  Clock::time_point earliest = Clock::time_point::max();
  for (const Peer& peer : peers_) earliest = std::min(earliest, peer.deadline);
  return earliest;
}

}  // namespace quillo
