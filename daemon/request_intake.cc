#include "daemon/request_intake.h"

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <utility>

#include "base/console.h"
#include "base/unique_fd.h"
#include "daemon/signals.h"

namespace quillo {
namespace {

// Pause after a failed accept, so that a socket that cannot be set up does
// not spin a core and flood standard error.
constexpr std::chrono::seconds kAcceptRetryPause{1};
// Longest sleep of the loop: the socket file is looked at this often.
constexpr std::chrono::milliseconds kListenerCheck{60000};
// How long after a one-shot client's frame the sessions keep the shorter
// share of a round.
constexpr std::chrono::milliseconds kSharedRounds{200};

// How many clients may wait at once under the process's descriptor limit.
std::size_t peer_capacity() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 ||
      limit.rlim_cur == RLIM_INFINITY ||
      limit.rlim_cur >= kMaxPendingPeers + kWorkDescriptors) {
    return kMaxPendingPeers;
  }
  if (limit.rlim_cur <= kWorkDescriptors) return 1;
  return static_cast<std::size_t>(limit.rlim_cur) - kWorkDescriptors;
}

}  // namespace

RequestIntake::RequestIntake(std::string socket, RequestReports& reports)
    : reports_(reports),
      listener_(std::move(socket)),
      peer_capacity_(peer_capacity()),
      peers_(peer_capacity_, kRequestTimeout, kSessionIdleTimeout) {}

void RequestIntake::start() {
  if (listener_.open() == Listener::Open::kBusy) {
    throw std::runtime_error("another quillod serves " + listener_.path());
  }
  next_check_ = Clock::now() + std::chrono::seconds(1);
  if (peer_capacity_ < kMaxPendingPeers) {
    base::complain("Descriptor limit below " +
                   std::to_string(kMaxPendingPeers + kWorkDescriptors) +
                   ": at most " + std::to_string(peer_capacity_) +
                   " clients wait at once.\n");
  }
}

void RequestIntake::share_rounds(Clock::time_point now,
                                 const std::deque<PeerSet::Frame>& round) {
  const bool one_shot = std::any_of(round.begin(), round.end(),
                                    [](const PeerSet::Frame& frame) {
                                      return frame.whole && !frame.session;
                                    });
  if (one_shot) shared_until_ = now + kSharedRounds;
  peers_.set_peer_share(now < shared_until_ ? kSharedPeerFrames
                                            : kMaxPeerFrames);
}

void RequestIntake::wait(std::deque<PeerSet::Frame>* round) {
  const std::size_t before = round->size();
  wait_for_frames(round);
  if (round->size() > before) share_rounds(Clock::now(), *round);
}

void RequestIntake::wait_for_frames(std::deque<PeerSet::Frame>* round) {
  const Clock::time_point now = Clock::now();
  if (now >= next_check_) check_listener(now);
  reports_.flush(now);
  const bool accepting = listener_.is_open() && now >= accept_paused_;
  if (accepting && peers_.size() == 0 &&
      reports_.next_deadline() == Clock::time_point::max() &&
      wake_at_ == Clock::time_point::max()) {
    // Nobody half-way: wait in accept() itself, which costs a lone client
    // one system call less than poll() and accept().
    accept_one(Clock::now(), round);
    return;
  }
  fds_.clear();
  if (accepting) fds_.push_back({listener_.fd(), POLLIN, 0});
  // A stop left to the loop makes this readable (daemon/signals.h).
  if (stop_wake_fd() >= 0) fds_.push_back({stop_wake_fd(), POLLIN, 0});
  const std::size_t first_peer = fds_.size();
  peers_.append_pollfds(&fds_);
  const int ready = ::poll(fds_.data(), fds_.size(), wait_ms(now));
  if (ready < 0 && errno != EINTR) base::complain("Poll fail!!\n");
  const Clock::time_point woke = Clock::now();
  if (ready > 0)
    peers_.handle_events(fds_, first_peer, woke, round);
  else
    peers_.handle_events({}, 0, woke, round);
  if (ready > 0 && accepting && fds_[0].revents != 0) {
    accept_one(woke, round);
  }
}

void RequestIntake::answer(const std::deque<PeerSet::Frame>& round) {
  peers_.answer(round, Clock::now());
}

int RequestIntake::wait_ms(Clock::time_point now) const {
  Clock::time_point until =
      std::min({peers_.next_deadline(), next_check_, reports_.next_deadline(),
                wake_at_});
  if (listener_.is_open() && accept_paused_ > now) {
    until = std::min(until, accept_paused_);
  }
  if (until <= now) return 0;
  const auto ms =
      std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
  return static_cast<int>(std::min<long long>(ms, kListenerCheck.count()));
}

void RequestIntake::check_listener(Clock::time_point now) {
  next_check_ = now + std::chrono::seconds(1);
  if (listener_.is_open()) {
    listener_.check();
    if (listener_.is_open()) return;
  } else if (listener_.open() == Listener::Open::kOk) {
    return;
  }
  reports_.report(RequestReports::kAcceptFail);
}

// Takes one client per round: while more wait, the listener stays readable
// and the next round comes at once, so a flood of connections cannot
// starve the peers already waiting.
void RequestIntake::accept_one(Clock::time_point now,
                               std::deque<PeerSet::Frame>* round) {
  base::UniqueFd fd(listener_.accept());
  if (fd) {
    peers_.add(std::move(fd), Clock::now(), round);
    return;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
  if (errno == ECONNABORTED) {
    // Let go for want of a descriptor; the next client is taken at once.
    reports_.report(RequestReports::kDropped);
    return;
  }
  // Out of descriptors with nobody to let go, or the like: pause accepting
  // rather than spin.
  reports_.report(RequestReports::kAcceptFail);
  accept_paused_ = now + kAcceptRetryPause;
}

}  // namespace quillo
