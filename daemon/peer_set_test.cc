// The pending peers of the request loop, over socket pairs: frames that
// arrive in pieces, peers that end early or never finish, and the bound on
// their number.

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
              std::deque<PeerSet::Finished>* done) {
  std::vector<pollfd> fds;
  set.append_pollfds(&fds);
  for (pollfd& p : fds) p.revents = POLLIN;
  set.handle_events(fds, 0, now, done);
}

const std::string kFrame("\x00\x03xyz", 5);

TEST(PeerSetTest, FramesFinishInTheOrderTheyComplete) {
  PeerSet set(8, seconds(5));
  std::deque<PeerSet::Finished> done;
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
  EXPECT_EQ(set.size(), 0u);
}

TEST(PeerSetTest, FrameAlreadyThereNeverWaits) {
  PeerSet set(8, seconds(5));
  std::deque<PeerSet::Finished> done;
  Pair p = make_pair();
  send_bytes(p.client_end, kFrame);
  set.add(std::move(p.daemon_end), Clock::now(), &done);
  ASSERT_EQ(done.size(), 1u);
  EXPECT_TRUE(done[0].whole);
  EXPECT_EQ(set.size(), 0u);
}

TEST(PeerSetTest, EndedTimedOutAndOldestPeersFinishUnwhole) {
  PeerSet set(2, seconds(5));
  std::deque<PeerSet::Finished> done;
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

}  // namespace
}  // namespace quillo
