#include "forward/forwarder.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/unique_fd.h"
#include "testing/temp_tree.h"

namespace {

using ::testing::ElementsAreArray;

constexpr int kWaitMs = 15000;  // a bound against a hung test, not a limit

// A stand-in collector: a listening socket on 127.0.0.1 that reads
// octet-counted frames.
class FakeCollector {
 public:
  FakeCollector() {
    listener_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&a), len) != 0 ||
        ::listen(listener_.get(), 8) != 0 ||
        ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&a), &len) !=
            0) {
      throw std::runtime_error("cannot listen");
    }
    port_ = ntohs(a.sin_port);
  }
  int port() const { return port_; }

  // Accepts the next connection; false when none came in time.
  bool accept_one() {
    pollfd p{listener_.get(), POLLIN, 0};
    if (::poll(&p, 1, kWaitMs) != 1) return false;
    conn_.reset(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    buffer_.clear();
    return static_cast<bool>(conn_);
  }
  void close_connection() { conn_.reset(); }

  // The messages of the next `n` frames; fewer when the bound ran out.
  std::vector<std::string> read_frames(std::size_t n) {
    std::vector<std::string> out;
    while (out.size() < n) {
      const std::size_t space = buffer_.find(' ');
      if (space != std::string::npos) {
        const std::size_t len = std::stoul(buffer_.substr(0, space));
        if (buffer_.size() >= space + 1 + len) {
          out.push_back(buffer_.substr(space + 1, len));
          buffer_.erase(0, space + 1 + len);
          continue;
        }
      }
      pollfd p{conn_.get(), POLLIN, 0};
      if (::poll(&p, 1, kWaitMs) != 1) return out;
      char chunk[65536];
      const ssize_t got = ::read(conn_.get(), chunk, sizeof(chunk));
      if (got <= 0) return out;
      buffer_.append(chunk, static_cast<std::size_t>(got));
    }
    return out;
  }

 private:
  base::UniqueFd listener_;
  base::UniqueFd conn_;
  std::string buffer_;
  int port_ = 0;
};

WrittenRow system_row(int i) {
  const std::string text = "line " + std::to_string(i);
  return WrittenRow{RowKind::kSystem, 1796635815, {text, "", ""}, text};
}

ForwardSettings settings_for(int port) {
  ForwardSettings s;
  s.enable = true;
  s.host = "127.0.0.1";
  s.port = port;
  return s;
}

const SyslogOrigin kOrigin{"nas1", 812};

std::vector<std::string> expected(int from, int to) {
  std::vector<std::string> out;
  for (int i = from; i < to; ++i) {
    out.push_back(format_syslog_message(system_row(i), kOrigin));
  }
  return out;
}

class ForwarderTest : public ::testing::Test {
 protected:
  std::unique_ptr<Forwarder> make() {
    auto f = std::make_unique<Forwarder>(tree_.file("spool"),
                                         std::chrono::seconds(1), kOrigin);
    EXPECT_EQ(f->start(), 0);
    return f;
  }
  quillo_test::TempTree tree_;
  FakeCollector collector_;
};

TEST_F(ForwarderTest, SendsEveryRowInOrder) {
  auto forwarder = make();
  forwarder->configure(settings_for(collector_.port()));
  for (int i = 0; i < 500; ++i) forwarder->row_written(system_row(i));
  ASSERT_TRUE(collector_.accept_one());
  EXPECT_THAT(collector_.read_frames(500), ElementsAreArray(expected(0, 500)));
  forwarder->stop();
  EXPECT_EQ(forwarder->stats().rows_sent.load(), 500u);
  EXPECT_EQ(forwarder->stats().reconnects.load(), 0u);
}

TEST_F(ForwarderTest, KindsSwitchedOffAndDisabledForwardingSpoolNothing) {
  auto forwarder = make();
  ForwardSettings s = settings_for(collector_.port());
  s.system = false;
  forwarder->configure(s);
  forwarder->row_written(system_row(0));
  s.system = true;
  s.enable = false;
  forwarder->configure(s);
  forwarder->row_written(system_row(1));
  forwarder->configure(settings_for(collector_.port()));
  forwarder->row_written(system_row(2));
  ASSERT_TRUE(collector_.accept_one());
  EXPECT_THAT(collector_.read_frames(1), ElementsAreArray(expected(2, 3)));
  forwarder->stop();
  EXPECT_EQ(forwarder->stats().rows_sent.load(), 1u);
}

TEST_F(ForwarderTest, ReconnectsWhenTheCollectorClosedAnIdleConnection) {
  auto forwarder = make();
  forwarder->configure(settings_for(collector_.port()));
  forwarder->row_written(system_row(0));
  ASSERT_TRUE(collector_.accept_one());
  ASSERT_THAT(collector_.read_frames(1), ElementsAreArray(expected(0, 1)));
  collector_.close_connection();
  // The row after the close must not vanish into the dead connection.
  forwarder->row_written(system_row(1));
  ASSERT_TRUE(collector_.accept_one());
  EXPECT_THAT(collector_.read_frames(1), ElementsAreArray(expected(1, 2)));
  forwarder->stop();
  EXPECT_EQ(forwarder->stats().rows_sent.load(), 2u);
  EXPECT_EQ(forwarder->stats().reconnects.load(), 1u);
}

TEST_F(ForwarderTest, RowsSpooledWhileTheCollectorIsDownArriveAfterRestart) {
  {
    // Nobody listens on this port once the socket is gone.
    int dead_port;
    {
      FakeCollector gone;
      dead_port = gone.port();
    }
    auto forwarder = make();
    forwarder->configure(settings_for(dead_port));
    for (int i = 0; i < 50; ++i) forwarder->row_written(system_row(i));
    EXPECT_EQ(forwarder->stats().rows_sent.load(), 0u);
  }
  auto forwarder = make();
  forwarder->configure(settings_for(collector_.port()));
  forwarder->row_written(system_row(50));
  ASSERT_TRUE(collector_.accept_one());
  EXPECT_THAT(collector_.read_frames(51), ElementsAreArray(expected(0, 51)));
}

TEST_F(ForwarderTest, SpoolKeepsItsLimitAndCountsDrops) {
  int dead_port;
  {
    FakeCollector gone;
    dead_port = gone.port();
  }
  auto forwarder = make();
  ForwardSettings s = settings_for(dead_port);
  s.max_megabytes = 1;
  forwarder->configure(s);
  WrittenRow row = system_row(0);
  row.fields[1] = std::string(4000, 'x');
  for (int i = 0; i < 1000; ++i) forwarder->row_written(row);
  forwarder->stop();
  const ForwardStats& stats = forwarder->stats();
  EXPECT_LE(stats.spool_bytes.load(), 1u << 20);
  EXPECT_GT(stats.rows_dropped.load(), 0u);
  EXPECT_EQ(stats.rows_sent.load(), 0u);
  EXPECT_EQ(stats.spool_failures.load(), 0u);
}

}  // namespace
