#include "forward/forwarder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/unique_fd.h"
#include "forward/spool.h"
#include "testing/temp_tree.h"

namespace quillo {
namespace {

using ::testing::ElementsAreArray;
using ::testing::SizeIs;

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

// A row as the log store offers it: the row and its line as written.
struct OfferedRow {
  LogRow row;
  std::string line;
};

OfferedRow system_row(int i) {
  const std::string text = "line " + std::to_string(i);
  return OfferedRow{{LogKind::kSystem, 1796635815, {text, "", ""}}, text};
}

// Both steps of a row that reached its file.
void offer(Forwarder& forwarder, const OfferedRow& w) {
  forwarder.row_prepared(w.row, w.line);
  forwarder.row_done(true);
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
    out.push_back(
        format_syslog_message(system_row(i).row, system_row(i).line, kOrigin));
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
  for (int i = 0; i < 500; ++i) offer(*forwarder, system_row(i));
  ASSERT_TRUE(collector_.accept_one());
  EXPECT_THAT(collector_.read_frames(500), ElementsAreArray(expected(0, 500)));
  forwarder->stop();
  EXPECT_EQ(forwarder->stats().rows_sent.load(), 500u);
  EXPECT_EQ(forwarder->stats().reconnects.load(), 0u);
}

// Passes of several rows, as a group commit offers them: every row
// prepared, then every outcome in the same order. Only the rows written
// reach the collector, in order; a row of a kind not forwarded in the
// middle takes no frame's place.
TEST_F(ForwarderTest, PassOfSeveralRowsForwardsOnlyTheWrittenOnesInOrder) {
  auto forwarder = make();
  ForwardSettings s = settings_for(collector_.port());
  s.kinds[static_cast<std::size_t>(LogKind::kAccess)] = false;
  forwarder->configure(s);
  const LogRow access{LogKind::kAccess, 1796635815, {"u", "h", "i"}};
  const auto pass = [&](const std::vector<int>& rows,
                        const std::vector<bool>& written) {
    for (int i : rows) {
      if (i < 0) {
        forwarder->row_prepared(access, "access");
      } else {
        forwarder->row_prepared(system_row(i).row, system_row(i).line);
      }
    }
    for (bool w : written) forwarder->row_done(w);
  };
  pass({0, -1, 1, 2, 3}, {true, true, false, true, true});
  offer(*forwarder, system_row(4));
  pass({5, 6}, {false, false});
  pass({7, 8}, {true, false});
  offer(*forwarder, system_row(9));
  ASSERT_TRUE(collector_.accept_one());
  const std::vector<std::string> all = expected(0, 10);
  EXPECT_THAT(collector_.read_frames(6),
              ElementsAreArray(
                  {all[0], all[2], all[3], all[4], all[7], all[9]}));
  forwarder->stop();
  EXPECT_EQ(forwarder->stats().rows_sent.load(), 6u);
  EXPECT_EQ(forwarder->stats().spool_failures.load(), 0u);
}

TEST_F(ForwarderTest, KindsSwitchedOffAndDisabledForwardingSpoolNothing) {
  auto forwarder = make();
  ForwardSettings s = settings_for(collector_.port());
  s.kinds[static_cast<std::size_t>(LogKind::kSystem)] = false;
  forwarder->configure(s);
  offer(*forwarder, system_row(0));
  s.kinds[static_cast<std::size_t>(LogKind::kSystem)] = true;
  s.enable = false;
  forwarder->configure(s);
  offer(*forwarder, system_row(1));
  forwarder->configure(settings_for(collector_.port()));
  offer(*forwarder, system_row(2));
  ASSERT_TRUE(collector_.accept_one());
  EXPECT_THAT(collector_.read_frames(1), ElementsAreArray(expected(2, 3)));
  forwarder->stop();
  EXPECT_EQ(forwarder->stats().rows_sent.load(), 1u);
}

TEST_F(ForwarderTest, ReconnectsWhenTheCollectorClosedAnIdleConnection) {
  auto forwarder = make();
  forwarder->configure(settings_for(collector_.port()));
  offer(*forwarder, system_row(0));
  ASSERT_TRUE(collector_.accept_one());
  ASSERT_THAT(collector_.read_frames(1), ElementsAreArray(expected(0, 1)));
  collector_.close_connection();
  // The row after the close must not vanish into the dead connection.
  offer(*forwarder, system_row(1));
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
    for (int i = 0; i < 50; ++i) offer(*forwarder, system_row(i));
    EXPECT_EQ(forwarder->stats().rows_sent.load(), 0u);
  }
  auto forwarder = make();
  forwarder->configure(settings_for(collector_.port()));
  offer(*forwarder, system_row(50));
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
  OfferedRow row = system_row(0);
  row.row.columns[1] = std::string(4000, 'x');
  for (int i = 0; i < 1000; ++i) offer(*forwarder, row);
  forwarder->stop();
  const ForwardStats& stats = forwarder->stats();
  EXPECT_LE(stats.spool_bytes.load(), 1u << 20);
  EXPECT_GT(stats.rows_dropped.load(), 0u);
  EXPECT_EQ(stats.rows_sent.load(), 0u);
  EXPECT_EQ(stats.spool_failures.load(), 0u);
}

// A stand-in RELP collector on 127.0.0.1, served by a thread of its own. It
// speaks just enough RELP ("TXNR SP COMMAND SP DATALEN [SP DATA] LF"): it
// answers "open" with the offers librelp insists on, "close" with 200 and
// a "serverclose", and each "syslog" with 200 only when it acknowledges.
class FakeRelpCollector {
 public:
  explicit FakeRelpCollector(bool acknowledge) : acknowledge_(acknowledge) {
    listener_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    int stop[2];
    if (::bind(listener_.get(), reinterpret_cast<sockaddr*>(&a), len) != 0 ||
        ::listen(listener_.get(), 8) != 0 ||
        ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&a), &len) !=
            0 ||
        ::pipe2(stop, O_CLOEXEC) != 0) {
      throw std::runtime_error("cannot listen");
    }
    stop_read_.reset(stop[0]);
    stop_write_.reset(stop[1]);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~FakeRelpCollector() {
    stop_write_.reset();  // the thread sees the pipe's end
    thread_.join();
  }
  int port() const { return port_; }

  // Waits (bounded) until `n` syslog messages came, on all sessions
  // together; returns what came.
  std::vector<std::string> wait_messages(std::size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::milliseconds(kWaitMs),
                      [&] { return messages_.size() >= n; });
    return messages_;
  }
  // Waits (bounded) until `n` sessions were closed by the client.
  bool wait_closes(std::size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(kWaitMs),
                             [&] { return closes_ >= n; });
  }

 private:
  // Waits for `fd` or the stop pipe; false on stop or after the bound.
  bool wait_readable(int fd) {
    pollfd p[2] = {{fd, POLLIN, 0}, {stop_read_.get(), POLLIN, 0}};
    return ::poll(p, 2, kWaitMs) > 0 && p[1].revents == 0;
  }

  void serve() {
    while (wait_readable(listener_.get())) {
      base::UniqueFd conn(
          ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (conn) serve_session(conn.get());
    }
  }

  static void answer(int fd, const std::string& txnr, const std::string& data) {
    const std::string frame =
        txnr + " rsp " + std::to_string(data.size()) + " " + data + "\n";
    (void)::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);
  }

  void serve_session(int fd) {
    std::string in;
    for (;;) {
      // One whole frame at the front of `in`, or read more.
      const std::size_t sp1 = in.find(' ');
      const std::size_t sp2 =
          sp1 == std::string::npos ? sp1 : in.find(' ', sp1 + 1);
      std::size_t data_at = std::string::npos, data_len = 0;
      if (sp2 != std::string::npos) {
        std::size_t i = sp2 + 1;
        while (i < in.size() && in[i] >= '0' && in[i] <= '9') {
          data_len = data_len * 10 + static_cast<std::size_t>(in[i++] - '0');
        }
        if (i < in.size()) data_at = in[i] == ' ' ? i + 1 : i;
      }
      if (data_at == std::string::npos || in.size() < data_at + data_len + 1) {
        char chunk[65536];
        if (in.size() > (1u << 20) || !wait_readable(fd)) return;
        const ssize_t got = ::read(fd, chunk, sizeof(chunk));
        if (got <= 0) return;
        in.append(chunk, static_cast<std::size_t>(got));
        continue;
      }
      const std::string txnr = in.substr(0, sp1);
      const std::string command = in.substr(sp1 + 1, sp2 - sp1 - 1);
      const std::string data = in.substr(data_at, data_len);
      in.erase(0, data_at + data_len + 1);  // and the LF
      if (command == "open") {
        answer(fd, txnr,
               "200 OK\nrelp_version=0\nrelp_software=fake\ncommands=syslog");
      } else if (command == "syslog") {
        if (acknowledge_) answer(fd, txnr, "200 OK");
        std::lock_guard<std::mutex> hold(mutex_);
        messages_.push_back(data);
        changed_.notify_all();
      } else if (command == "close") {
        answer(fd, txnr, "200 OK");
        const std::string bye = "0 serverclose 0\n";
        (void)::send(fd, bye.data(), bye.size(), MSG_NOSIGNAL);
        std::lock_guard<std::mutex> hold(mutex_);
        ++closes_;
        changed_.notify_all();
        return;
      }
    }
  }

  const bool acknowledge_;
  base::UniqueFd listener_;
  base::UniqueFd stop_read_, stop_write_;
  int port_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> messages_;  // guarded by mutex_
  std::size_t closes_ = 0;             // guarded by mutex_
  std::thread thread_;
};

// Whether the fake collector acknowledges the rows.
class RelpForwarderTest : public ForwarderTest,
                          public ::testing::WithParamInterface<bool> {};

TEST_P(RelpForwarderTest, ConfirmsOnlyRowsTheCollectorAcknowledged) {
  const bool acknowledge = GetParam();
  FakeRelpCollector relp(acknowledge);
  auto forwarder = make();
  ForwardSettings s = settings_for(relp.port());
  s.protocol = ForwardProtocol::kRelp;
  forwarder->configure(s);
  for (int i = 0; i < 5; ++i) offer(*forwarder, system_row(i));
  // After a second without rows the session is closed, and the collector
  // answers the close either way.
  ASSERT_TRUE(relp.wait_closes(1));
  if (!acknowledge) {
    // Never acknowledged: the rows go again on a new session.
    const std::vector<std::string> got = relp.wait_messages(10);
    ASSERT_THAT(got, SizeIs(10u));
    EXPECT_EQ(std::vector<std::string>(got.begin() + 5, got.end()),
              expected(0, 5));
  }
  forwarder->stop();
  const ForwardStats& stats = forwarder->stats();
  EXPECT_EQ(stats.rows_confirmed.load(), acknowledge ? 5u : 0u);
  // Every row sent on a session that ended unacknowledged goes again.
  EXPECT_EQ(stats.rows_resent.load(),
            acknowledge ? 0u : stats.rows_sent.load());
  EXPECT_THAT(relp.wait_messages(5), SizeIs(stats.rows_sent.load()));
  forwarder.reset();
  // What a restart would send: nothing, or all five again.
  Spool spool(tree_.file("spool"), 1 << 20);
  ASSERT_EQ(spool.open(), 0);
  EXPECT_EQ(spool.unsent_rows(), acknowledge ? 0u : 5u);
}

INSTANTIATE_TEST_SUITE_P(Collectors, RelpForwarderTest, ::testing::Bool(),
                         [](const auto& info) {
                           return info.param ? "Acknowledging"
                                             : "NeverAcknowledging";
                         });

}  // namespace
}  // namespace quillo
