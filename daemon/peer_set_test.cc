// The peers of the request loop, over socket pairs: frames that arrive in
// pieces, peers that end early or never finish, the bound on their number,
// and sessions: answers in order, the turn of a busy session, a client that
// does not read its answers.

#include "daemon/peer_set.h"

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace quillo {
namespace {

using Clock = PeerSet::Clock;
using std::chrono::seconds;

// A connected pair: the daemon's end goes into the set, the test writes
// to the other.
struct Pair {
  base::UniqueFd daemon_end;
  base::UniqueFd client_end;
};

Pair make_pair() {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) !=
      0) {
    return {};
  }
  return {base::UniqueFd(fds[0]), base::UniqueFd(fds[1])};
}

void send_bytes(const base::UniqueFd& fd, const std::string& bytes) {
  ASSERT_EQ(write(fd.get(), bytes.data(), bytes.size()),
            static_cast<ssize_t>(bytes.size()));
}

// Lets the set read every peer, as after a poll() that saw them all.
void read_all(PeerSet& set, Clock::time_point now,
              std::deque<PeerSet::Frame>* done) {
  std::vector<pollfd> fds;
  set.append_pollfds(&fds);
  for (pollfd& p : fds) p.revents = POLLIN;
  set.handle_events(fds, 0, now, done);
}

const std::string kFrame("\x00\x03xyz", 5);
// A session request of version 1, and of version 2.
const std::string kOpen("\x00\x08\x00\x02\x00\x02\x00\x02\x00\x01", 10);
const std::string kOpenV2("\x00\x08\x00\x02\x00\x02\x00\x02\x00\x02", 10);

std::string answers(const std::vector<int>& codes) {
  std::string out;
  for (int code : codes) {
    out += std::string("\x00\x02\x00", 3) + static_cast<char>(code);
  }
  return out;
}

// What has come on `fd` until it ends or has nothing more now.
std::string receive_all(const base::UniqueFd& fd) {
  std::string out;
  char buf[4096];
  for (;;) {
    const ssize_t n = recv(fd.get(), buf, sizeof buf, MSG_DONTWAIT);
    if (n <= 0) return out;
    out.append(buf, static_cast<std::size_t>(n));
  }
}

// True when the daemon's end of `fd`'s pair is closed.
bool closed_by_daemon(const base::UniqueFd& fd) {
  char c;
  return recv(fd.get(), &c, 1, MSG_DONTWAIT) == 0;
}

TEST(PeerSetTest, FramesFinishInTheOrderTheyComplete) {
  PeerSet set(8, seconds(5), seconds(60));
  std::deque<PeerSet::Frame> done;
  const Clock::time_point t0 = Clock::now();
  Pair slow = make_pair();
  Pair fast = make_pair();
  send_bytes(slow.client_end, kFrame.substr(0, 1));  // half a length
  set.add(std::move(slow.daemon_end), t0, &done);
  set.add(std::move(fast.daemon_end), t0, &done);
  EXPECT_TRUE(done.empty());
  send_bytes(fast.client_end, kFrame);
  read_all(set, t0, &done);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_TRUE(done[0].whole);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(done[0].request.data.get()),
                        done[0].request.size),
            "xyz");
  send_bytes(slow.client_end, kFrame.substr(1, 2));
  read_all(set, t0, &done);
  EXPECT_EQ(done.size(), 1u);  // two of three body bytes missing still
  send_bytes(slow.client_end, kFrame.substr(3));
  read_all(set, t0, &done);
  ASSERT_EQ(done.size(), 2u);
  EXPECT_TRUE(done[1].whole);
  // Both stay until they are answered.
  EXPECT_EQ(set.size(), 2u);
  for (auto& frame : done) frame.answer = 0;
  set.answer(done, t0);
  EXPECT_EQ(set.size(), 0u);
  EXPECT_EQ(receive_all(fast.client_end), std::string("\x00\x02\x00\x00", 4));
  EXPECT_EQ(receive_all(slow.client_end), std::string("\x00\x02\x00\x00", 4));
}

TEST(PeerSetTest, FrameAlreadyThereIsTakenAtOnceAndAnsweredOnce) {
  PeerSet set(8, seconds(5), seconds(60));
  std::deque<PeerSet::Frame> done;
  Pair p = make_pair();
  // A one-shot client's bytes after its frame are not read.
  send_bytes(p.client_end, kFrame + kFrame);
  set.add(std::move(p.daemon_end), Clock::now(), &done);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_TRUE(done[0].whole);
  EXPECT_EQ(done[0].peer != nullptr, true);
  done[0].answer = 3;
  set.answer(done, Clock::now());
  EXPECT_EQ(set.size(), 0u);
  EXPECT_EQ(receive_all(p.client_end), std::string("\x00\x02\x00\x03", 4));
  EXPECT_EQ(set.stats().opened, 0u);
}

TEST(PeerSetTest, EndedTimedOutAndOldestPeersFinishUnwhole) {
  PeerSet set(2, seconds(5), seconds(60));
  std::deque<PeerSet::Frame> done;
  const Clock::time_point t0 = Clock::now();
  Pair ended = make_pair();
  Pair idle = make_pair();
  Pair late = make_pair();
  set.add(std::move(ended.daemon_end), t0, &done);
  set.add(std::move(idle.daemon_end), t0 + seconds(1), &done);
  send_bytes(ended.client_end, kFrame.substr(0, 3));
  ended.client_end.reset();
  read_all(set, t0 + seconds(2), &done);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_FALSE(done[0].whole);
  EXPECT_EQ(done[0].request.size, 3u);  // the length came, not the body

  // The idle peer's bound passes at t0 + 6 s; nothing else finishes it.
  EXPECT_EQ(set.next_deadline(), t0 + seconds(6));
  read_all(set, t0 + seconds(5), &done);
  EXPECT_EQ(done.size(), 1u);
  set.handle_events({}, 0, t0 + seconds(6), &done);
  ASSERT_EQ(done.size(), 2u);
  EXPECT_FALSE(done[1].whole);
  EXPECT_EQ(done[1].request.size, 0u);

  // Full: a third peer makes the oldest leave.
  Pair a = make_pair();
  Pair b = make_pair();
  set.add(std::move(a.daemon_end), t0 + seconds(7), &done);
  set.add(std::move(b.daemon_end), t0 + seconds(7), &done);
  set.add(std::move(late.daemon_end), t0 + seconds(7), &done);
  ASSERT_EQ(done.size(), 3u);
  EXPECT_FALSE(done[2].whole);
  EXPECT_EQ(set.size(), 2u);
}


// Every answer of a round, `code` for all.
void answer_all(PeerSet& set, std::deque<PeerSet::Frame>& round, int code,
                Clock::time_point now) {
  for (auto& frame : round) frame.answer = code;
  set.answer(round, now);
  round.clear();
}

TEST(PeerSetTest, SessionIsAnsweredInOrderAndClosedAfterTheClientsHalfClose) {
  PeerSet set(8, seconds(5), seconds(60));
  std::deque<PeerSet::Frame> round;
  const Clock::time_point t0 = Clock::now();
  Pair p = make_pair();
  send_bytes(p.client_end, kOpen + kFrame + kFrame.substr(0, 2));
  set.add(std::move(p.daemon_end), t0, &round);
  ASSERT_EQ(round.size(), 1u);  // the opening frame is answered by the set
  EXPECT_EQ(set.stats().opened, 1u);
  EXPECT_EQ(set.stats().frames, 1u);
  EXPECT_EQ(receive_all(p.client_end), "");  // nothing before the round
  answer_all(set, round, 3, t0);
  EXPECT_EQ(receive_all(p.client_end), answers({5, 3}));
  // A frame that has begun has the frame bound, not the idle bound.
  EXPECT_EQ(set.next_deadline(), t0 + seconds(5));

  send_bytes(p.client_end, kFrame.substr(2) + kFrame);
  ASSERT_EQ(shutdown(p.client_end.get(), SHUT_WR), 0);
  read_all(set, t0 + seconds(1), &round);
  ASSERT_EQ(round.size(), 2u);
  EXPECT_EQ(set.stats().frames, 3u);
  EXPECT_EQ(set.size(), 1u);
  round[0].answer = 0;
  round[1].answer = 3;
  set.answer(round, t0 + seconds(1));
  EXPECT_EQ(set.size(), 0u);
  EXPECT_EQ(receive_all(p.client_end), answers({0, 3}));
  EXPECT_TRUE(closed_by_daemon(p.client_end));
}

TEST(PeerSetTest, UnansweredFrameEndsTheSessionAfterTheAnswersBeforeIt) {
  PeerSet set(8, seconds(5), seconds(60));
  std::deque<PeerSet::Frame> round;
  const Clock::time_point t0 = Clock::now();
  Pair p = make_pair();
  send_bytes(p.client_end, kOpen + kFrame + kFrame + kFrame);
  set.add(std::move(p.daemon_end), t0, &round);
  ASSERT_EQ(round.size(), 3u);
  round[0].answer = 0;
  round[1].answer = -1;
  round[2].answer = 0;
  set.answer(round, t0);
  EXPECT_EQ(set.size(), 0u);
  EXPECT_EQ(receive_all(p.client_end), answers({5, 0}));
  EXPECT_TRUE(closed_by_daemon(p.client_end));
}

TEST(PeerSetTest, IdleSessionEndsQuietlyAndABegunFrameIsReported) {
  PeerSet set(8, seconds(5), seconds(60));
  std::deque<PeerSet::Frame> round;
  const Clock::time_point t0 = Clock::now();
  Pair idle = make_pair();
  Pair stuck = make_pair();
  send_bytes(idle.client_end, kOpen);
  send_bytes(stuck.client_end, kOpen + kFrame.substr(0, 3));
  set.add(std::move(idle.daemon_end), t0, &round);
  set.add(std::move(stuck.daemon_end), t0, &round);
  answer_all(set, round, 0, t0);
  set.handle_events({}, 0, t0 + seconds(5), &round);
  ASSERT_EQ(round.size(), 1u);
  EXPECT_EQ(round[0].peer, nullptr);
  EXPECT_FALSE(round[0].whole);
  EXPECT_EQ(round[0].request.size, 3u);
  EXPECT_EQ(set.size(), 1u);
  round.clear();
  set.handle_events({}, 0, t0 + seconds(59), &round);
  EXPECT_EQ(set.size(), 1u);
  set.handle_events({}, 0, t0 + seconds(60), &round);
  EXPECT_TRUE(round.empty());
  EXPECT_EQ(set.size(), 0u);
  EXPECT_EQ(receive_all(idle.client_end), answers({5}));
  EXPECT_TRUE(closed_by_daemon(idle.client_end));
}

TEST(PeerSetTest, OtherSessionVersionIsAOneShotFrame) {
  PeerSet set(8, seconds(5), seconds(60));
  std::deque<PeerSet::Frame> round;
  Pair p = make_pair();
  send_bytes(p.client_end, kOpenV2 + kFrame);
  set.add(std::move(p.daemon_end), Clock::now(), &round);
  ASSERT_EQ(round.size(), 1u);
  EXPECT_TRUE(round[0].whole);
  EXPECT_EQ(round[0].request.type_code(), 2);
  EXPECT_EQ(set.stats().opened, 0u);
  answer_all(set, round, 0, Clock::now());
  EXPECT_EQ(receive_all(p.client_end), answers({0}));
  EXPECT_EQ(set.size(), 0u);
}

TEST(PeerSetTest, BusySessionGivesAtMostItsTurnAndTheRestComesNextRound) {
  PeerSet set(8, seconds(5), seconds(60));
  std::deque<PeerSet::Frame> round;
  const Clock::time_point t0 = Clock::now();
  Pair p = make_pair();
  std::string burst = kOpen;
  for (int i = 0; i < 300; ++i) burst += kFrame;
  send_bytes(p.client_end, burst);
  set.add(std::move(p.daemon_end), t0, &round);
  // The opening answer takes one of the session's answers.
  EXPECT_EQ(round.size(), kMaxQueuedAnswers - 1);
  answer_all(set, round, 0, t0);
  // The rest is held by the reader already: no poll() would report it.
  EXPECT_EQ(set.next_deadline(), Clock::time_point::min());
  set.handle_events({}, 0, t0, &round);
  EXPECT_EQ(round.size(), 300 - (kMaxQueuedAnswers - 1));
  answer_all(set, round, 0, t0);
  EXPECT_EQ(set.stats().frames, 300u);
  EXPECT_EQ(receive_all(p.client_end).size(), 301u * 4);

  // While one-shot clients come the session gives the shorter share, and
  // the frames say whose they are.
  set.set_peer_share(kSharedPeerFrames);
  burst.clear();
  for (int i = 0; i < 40; ++i) burst += kFrame;
  send_bytes(p.client_end, burst);
  Pair one = make_pair();
  send_bytes(one.client_end, kFrame);
  set.add(std::move(one.daemon_end), t0, &round);
  read_all(set, t0, &round);
  ASSERT_EQ(round.size(), 1 + kSharedPeerFrames);
  EXPECT_FALSE(round.front().session);
  EXPECT_TRUE(round.back().session);
  answer_all(set, round, 0, t0);
  set.handle_events({}, 0, t0, &round);
  EXPECT_EQ(round.size(), 40 - kSharedPeerFrames);
  answer_all(set, round, 0, t0);
}

TEST(PeerSetTest, SessionNotReadingItsAnswersIsNotReadAndThenLetGo) {
  PeerSet set(8, seconds(5), seconds(60));
  std::deque<PeerSet::Frame> round;
  Clock::time_point now = Clock::now();
  Pair p = make_pair();
  // A small send buffer fills after a few rounds of answers.
  const int small = 1;
  ASSERT_EQ(setsockopt(p.daemon_end.get(), SOL_SOCKET, SO_SNDBUF, &small,
                       sizeof small),
            0);
  send_bytes(p.client_end, kOpen);
  set.add(std::move(p.daemon_end), now, &round);
  std::string batch;
  for (std::size_t i = 0; i < kMaxPeerFrames; ++i) batch += kFrame;
  short events = POLLIN;
  for (int i = 0; i < 64 && (events & POLLIN) != 0; ++i) {
    send_bytes(p.client_end, batch);
    read_all(set, now, &round);
    answer_all(set, round, 0, now);
    std::vector<pollfd> fds;
    set.append_pollfds(&fds);
    ASSERT_EQ(fds.size(), 1u);
    events = fds[0].events;
  }
  ASSERT_EQ(events, POLLOUT) << "the answers never filled the send buffer";
  // Not read: what the client sends stays with it.
  send_bytes(p.client_end, kFrame);
  read_all(set, now + seconds(4), &round);
  EXPECT_TRUE(round.empty());
  EXPECT_EQ(set.size(), 1u);
  set.handle_events({}, 0, now + seconds(5), &round);
  EXPECT_EQ(set.size(), 0u);
}

}  // namespace
}  // namespace quillo
