#include "protocol/connection.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/unique_fd.h"
#include "protocol/listener.h"
#include "protocol/packet.h"
#include "protocol/socket_path.h"
#include "testing/temp_tree.h"

namespace quillo {
namespace {

using Clock = std::chrono::steady_clock;

// A connected pair: `peer` wraps one end as the daemon would, `other` is
// the raw client end.
class PeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    peer_ = std::make_unique<Connection>(fds[0]);
    other_ = fds[1];
  }
  void TearDown() override {
    if (other_ >= 0) close(other_);
  }
  void Write(const std::vector<unsigned char>& bytes) {
    ASSERT_EQ(write(other_, bytes.data(), bytes.size()),
              static_cast<ssize_t>(bytes.size()));
  }
  std::vector<unsigned char> ReadAll() {
    std::vector<unsigned char> out(8192);
    const ssize_t n = read(other_, out.data(), out.size());
    out.resize(n > 0 ? n : 0);
    return out;
  }

  std::unique_ptr<Connection> peer_;
  int other_ = -1;
};

TEST_F(PeerTest, PeerCannotConnect) {
  EXPECT_EQ(peer_->connect(), -1);
  EXPECT_EQ(peer_->mode(), Connection::Mode::Peer);
}

TEST_F(PeerTest, EmptyPacketIsTwoZeroBytes) {
  ASSERT_EQ(peer_->send(Packet()), 0);
  EXPECT_EQ(ReadAll(), (std::vector<unsigned char>{0, 0}));
}

TEST_F(PeerTest, ResultFrameIsFourBytes) {
  ASSERT_EQ(peer_->send(ResultData(0)), 0);
  EXPECT_EQ(ReadAll(), (std::vector<unsigned char>{0, 2, 0, 0}));
}

TEST_F(PeerTest, OversizeAnnouncementKeeps4096Bytes) {
  std::vector<unsigned char> frame = {0x13, 0x88};  // 5000
  frame.resize(2 + 5000, 'x');
  std::thread writer([&] { Write(frame); });
  RequestData r;
  EXPECT_EQ(peer_->receive(r), 0);
  writer.join();
  EXPECT_EQ(r.size, kMaxBody);
  // The rest stays unread in the socket.
  unsigned char rest[1000];
  EXPECT_EQ(recv(peer_->fd(), rest, sizeof(rest), MSG_DONTWAIT), 904);
}

TEST_F(PeerTest, FrameSplitOverSeveralWritesArrivesWhole) {
  const ReqSystemLog record("1", "a", "b", "c");
  std::vector<unsigned char> frame(2 + record.size);
  frame[1] = static_cast<unsigned char>(record.size);
  std::copy_n(record.data.get(), record.size, frame.begin() + 2);
  std::thread writer([&] {
    for (unsigned char b : frame) {
      Write({b});
      std::this_thread::yield();
    }
  });
  RequestData r;
  peer_->set_deadline(Clock::now() + std::chrono::seconds(10));
  EXPECT_EQ(peer_->receive(r), 0);
  writer.join();
  r.reload_entry();
  EXPECT_EQ(r.entries.size(), 5u);
}

TEST_F(PeerTest, StreamEndingInsideTheBodyFailsWithAnnouncedSize) {
  Write({0, 10, 1, 2, 3});
  shutdown(other_, SHUT_WR);
  RequestData r;
  EXPECT_EQ(peer_->receive(r), -1);
  EXPECT_EQ(r.size, 10);
}

TEST_F(PeerTest, StreamEndingBeforeTheLengthLeavesAnEmptyPacket) {
  Write({0});
  shutdown(other_, SHUT_WR);
  RequestData r;
  EXPECT_EQ(peer_->receive(r), -1);
  EXPECT_EQ(r.size, 0);
}

TEST_F(PeerTest, SilentPeerTimesOutAtTheDeadline) {
  RequestData r;
  peer_->set_deadline(Clock::now() + std::chrono::milliseconds(100));
  EXPECT_EQ(peer_->receive(r), -1);
  EXPECT_EQ(errno, ETIMEDOUT);
}

TEST_F(PeerTest, SendToAPeerThatLeftFailsWithoutSignal) {
  close(other_);
  other_ = -1;
  // Without MSG_NOSIGNAL this would end the test binary with SIGPIPE.
  EXPECT_EQ(peer_->send(ResultData(0)), -1);
  EXPECT_EQ(errno, EPIPE);
}

TEST_F(PeerTest, FramesThatFollowEachOtherAreReceivedInTurn) {
  // Two frames and the first byte of a third in one write: the bytes after
  // each frame wait in the connection for the next receive().
  Write({0, 1, 'a', 0, 2, 'b', 'c', 0});
  RequestData r;
  ASSERT_EQ(peer_->receive(r), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(r.data.get()), r.size), "a");
  ASSERT_EQ(peer_->receive(r), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(r.data.get()), r.size), "bc");
  Write({1, 'd'});
  ASSERT_EQ(peer_->receive(r), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(r.data.get()), r.size), "d");
}

TEST_F(PeerTest, ReceiveAfterAFailureStartsAfresh) {
  Write({0, 5, 'x'});
  RequestData r;
  peer_->set_deadline(Clock::now() + std::chrono::milliseconds(50));
  EXPECT_EQ(peer_->receive(r), -1);
  EXPECT_EQ(errno, ETIMEDOUT);
  EXPECT_EQ(r.size, 5);
  // The timed-out frame's bytes are gone; what comes next is a new frame.
  Write({0, 1, 'y'});
  peer_->set_deadline(Clock::now() + std::chrono::seconds(10));
  ASSERT_EQ(peer_->receive(r), 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(r.data.get()), r.size), "y");
}

TEST(ConnectionTest, ListenerClientRoundTrip) {
  quillo_test::TempTree dir("quillo-conn");
  const std::string path = dir.path() + "/sock";
  Listener listener(path);
  ASSERT_EQ(listener.open(), Listener::Open::kOk);
  std::thread server([&] {
    const int fd = listener.accept();
    ASSERT_GE(fd, 0);
    Connection peer(fd);
    peer.set_deadline(Clock::now() + std::chrono::seconds(10));
    RequestData r;
    ASSERT_EQ(peer.receive(r), 0);
    r.reload_entry();
    EXPECT_EQ(r.type_code(), 1);
    EXPECT_EQ(peer.send(ResultData(0)), 0);
  });
  Connection client(path);
  client.set_deadline(Clock::now() + std::chrono::seconds(10));
  ASSERT_EQ(client.connect(), 0);
  EXPECT_EQ(client.mode(), Connection::Mode::Client);
  ASSERT_EQ(client.send(ReqSystemLog("1", "a", "b", "c")), 0);
  ResultData result;
  ASSERT_EQ(client.receive(result), 0);
  EXPECT_EQ(result.code(), 0);
  server.join();
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0777u);
}

TEST(ConnectionTest, ConnectWithoutListenerFails) {
  quillo_test::TempTree dir("quillo-conn");
  Connection client(dir.path() + "/nobody");
  EXPECT_EQ(client.connect(), -1);
}

TEST(ConnectionTest, LongPathIsCutTo107Characters) {
  quillo_test::TempTree dir("quillo-conn");
  std::string path = dir.path() + "/";
  path += std::string(120 - path.size(), 'a');
  Listener listener(path.substr(0, 107));
  ASSERT_EQ(listener.open(), Listener::Open::kOk);
  Connection client(path);
  EXPECT_EQ(client.connect(), 0);
  const base::UniqueFd accepted(listener.accept());
  EXPECT_TRUE(accepted);
  struct stat st {};
  EXPECT_EQ(stat(path.substr(0, 107).c_str(), &st), 0);
}

TEST(SocketPathTest, FollowsTheRoot) {
  EXPECT_EQ(socket_path(""), "/tmp/quillo");
  EXPECT_EQ(socket_path("/"), "/tmp/quillo");
  EXPECT_EQ(socket_path("/srv/q"), "/srv/q/tmp/quillo");
}

}  // namespace
}  // namespace quillo
