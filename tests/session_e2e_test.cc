// Sessions against the real daemon over raw sockets: the opening answer,
// pipelined records answered byte for byte in order and written, "not
// stored" inside a session, the ends of a session (a malformed frame, the
// client's half-close, a frame that stops coming), a one-shot client served
// beside an open session, and a daemon killed or stopped in the middle of
// a busy session.

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/e2e_support.h"

namespace quillo_test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

// 2023-11-14 22:13:20 UTC.
constexpr long kNovember = 1700000000;

const Bytes kOpened = {0x00, 0x02, 0x00, 0x05};
const Bytes kStored = {0x00, 0x02, 0x00, 0x00};
const Bytes kNotStored = {0x00, 0x02, 0x00, 0x03};

Bytes cat(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes system_record(const std::string& text) {
  return system_frame(std::to_string(kNovember).c_str(), text.c_str(), "b", "c");
}

Bytes access_record(const std::string& path) {
  return access_frame("u", "h", "i", "open", 1, 0, "docs", path.c_str());
}

// The row the daemon writes for system_record(text) (TZ=UTC).
std::string system_row(const std::string& text) {
  return "2023/11/14 22:13:20," + text + ",b,c";
}

// An access row without its time stamp, which is the daemon's clock.
std::string access_tail(const std::string& path) {
  return "u,h,i,open,ok,docs," + path;
}

std::vector<std::string> access_tails(const ApplianceTree& tree) {
  std::vector<std::string> tails;
  for (const std::string& row : csv_rows(tree, "accesslog")) {
    tails.push_back(row.substr(row.find(',') + 1));
  }
  return tails;
}

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    daemon_ = std::make_unique<Daemon>(tree_);
    ASSERT_TRUE(daemon_->wait_ready());
  }

  // A client whose session is open.
  std::unique_ptr<RawClient> open_session() {
    auto client = std::make_unique<RawClient>(tree_);
    EXPECT_TRUE(client->connected());
    client->send(session_request_frame());
    EXPECT_EQ(client->read_bytes(4), kOpened);
    return client;
  }

  // The daemon's standard error once it holds `text` (the report of a
  // frame may follow the close of its connection), or after a bound.
  std::string err_with(const std::string& text) const {
    const Clock::time_point until = Clock::now() + std::chrono::seconds(20);
    std::string err = daemon_->err();
    while (err.find(text) == std::string::npos && Clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      err = daemon_->err();
    }
    return err;
  }

  ApplianceTree tree_;
  std::unique_ptr<Daemon> daemon_;
};

TEST_F(SessionTest, OpenPipelineNotStoredMalformedAndHalfClose) {
  // The request on the wire, and its answer.
  EXPECT_EQ(session_request_frame(),
            Bytes({0x00, 0x08, 0x00, 0x02, 0x00, 0x02, 0x00, 0x02, 0x00, 0x01}));
  std::unique_ptr<RawClient> session = open_session();

  // Records sent without waiting are answered in order, and written.
  session->send(cat({system_record("s1"), access_record("a1"),
                     system_record("s2"), access_record("a2")}));
  EXPECT_EQ(session->read_bytes(16),
            cat({kStored, kStored, kStored, kStored}));
  EXPECT_THAT(csv_rows(tree_, "systemlog"),
              ElementsAre(system_row("s1"), system_row("s2")));
  EXPECT_THAT(access_tails(tree_),
              ElementsAre(access_tail("a1"), access_tail("a2")));

  // One-shot clients are served while the session stays open.
  EXPECT_EQ(run_client(tree_, {"--system", std::to_string(kNovember), "one",
                               "b", "c"})
                .status,
            0);
  {
    RawClient one(tree_);
    one.send(system_record("two"));
    EXPECT_EQ(one.read_until_close(), kAcceptedAnswer);
  }

  // With the log root gone the access row is not stored and the system row
  // waits in the queue; the malformed frame (a body too short for a type)
  // ends the session after the answers before it, and the record after it
  // is neither answered nor written.
  ASSERT_EQ(std::system(("rm -rf '" + tree_.log_root() + "'").c_str()), 0);
  session->send(cat({access_record("a3"), system_record("s3"),
                     Bytes({0x00, 0x01, 0x00}), system_record("s4")}));
  EXPECT_EQ(session->read_until_close(), cat({kNotStored, kStored}));
  ASSERT_EQ(mkdir(tree_.log_root().c_str(), 0755), 0);

  // Half-close: the answers still owed go out, then the daemon closes.
  session = open_session();
  session->send(cat({system_record("s5"), access_record("a4")}));
  session->shutdown_write();
  EXPECT_EQ(session->read_until_close(), cat({kStored, kStored}));

  EXPECT_THAT(csv_rows(tree_, "systemlog"),
              ElementsAre(system_row("s3"), system_row("s5")));
  EXPECT_THAT(access_tails(tree_), ElementsAre(access_tail("a4")));
  EXPECT_THAT(err_with("Malformed"), HasSubstr("Malformed request!! Ignore."));
  const auto counters = daemon_->counters();
  EXPECT_EQ(counters.at("sessions_opened"), 2u);
  // s1 a1 s2 a2; a3 s3, the malformed one and s4, which came with them;
  // s5 a4.
  EXPECT_EQ(counters.at("session_frames"), 10u);
  EXPECT_EQ(counters.at("access_rows_not_stored"), 1u);
}

TEST_F(SessionTest, FrameThatStopsComingEndsTheSessionAfterTheFrameBound) {
  std::unique_ptr<RawClient> session = open_session();
  const Bytes next = system_record("late");
  session->send(cat({system_record("s1"), Bytes(next.begin(), next.begin() + 3)}));
  EXPECT_EQ(session->read_bytes(4), kStored);
  const Clock::time_point sent = Clock::now();
  EXPECT_TRUE(session->read_until_close().empty());
  const auto waited = Clock::now() - sent;
  EXPECT_GE(waited, std::chrono::milliseconds(4500));
  EXPECT_LT(waited, std::chrono::seconds(15));
  EXPECT_THAT(err_with("Incomplete"), HasSubstr("Incomplete request!! Ignore."));
  EXPECT_THAT(csv_rows(tree_, "systemlog"), ElementsAre(system_row("s1")));
}

TEST_F(SessionTest, OtherVersionIsAnsweredAsAnUnknownTypeAndClosed) {
  RawClient client(tree_);
  client.send({0x00, 0x08, 0x00, 0x02, 0x00, 0x02, 0x00, 0x02, 0x00, 0x02});
  EXPECT_EQ(client.read_until_close(), kAcceptedAnswer);
  EXPECT_EQ(daemon_->counters().at("sessions_opened"), 0u);
}

// The system-log state file: "<name>\n<count>\n".
// The name and row count in a state file, e.g. "access_info".
std::pair<std::string, long> read_state(const ApplianceTree& tree,
                                        const std::string& file) {
  const std::string text = read_file(tree.state_dir() + "/" + file);
  const std::size_t nl = text.find('\n');
  if (nl == std::string::npos) return {"", -1};
  return {text.substr(0, nl), std::strtol(text.c_str() + nl + 1, nullptr, 10)};
}

// The daemon is stopped at a moment of its own while a session floods it
// with access records that each raise an alert row (which widens the span
// between a row's write and its answer). SIGKILL: every answered row is in
// the file once, no half line, the state's count agrees. SIGTERM: the
// same, and the rows written are exactly those answered, since the daemon
// finishes the round in hand and sends its answers before it ends.
class SessionStopTest : public SessionTest,
                        public ::testing::WithParamInterface<int> {};

INSTANTIATE_TEST_SUITE_P(Signals, SessionStopTest,
                         ::testing::Values(SIGKILL, SIGTERM),
                         [](const auto& info) {
                           return info.param == SIGKILL ? "Kill" : "Term";
                         });

TEST_P(SessionStopTest, StoppedInABusySessionKeepsEveryAnsweredRowOnce) {
  const int signo = GetParam();
  constexpr int kRecords = 20000;
  tree_.write_config(tree_.default_config_body() +
                     ApplianceTree::alert_list("every-open", "open"));
  daemon_.reset();
  daemon_ = std::make_unique<Daemon>(tree_);
  ASSERT_TRUE(daemon_->wait_ready());
  std::unique_ptr<RawClient> session = open_session();
  const pid_t pid = daemon_->pid();
  // Built beforehand, so that the daemon, not the sender, is the slower.
  std::vector<Bytes> chunks;
  for (int i = 0; i < kRecords; i += 100) {
    Bytes chunk;
    for (int j = i; j < i + 100; ++j) {
      const Bytes one = access_record("k" + std::to_string(j));
      chunk.insert(chunk.end(), one.begin(), one.end());
    }
    chunks.push_back(std::move(chunk));
  }
  // The sender stops when the socket fails.
  std::thread sender([&] {
    for (const Bytes& chunk : chunks) {
      try {
        session->send(chunk);
      } catch (const std::exception&) {
        return;
      }
    }
  });
  // Once the daemon is busy (its first round answered, however slow the
  // build), a stop timed by the clock, not by the stream, lands anywhere in
  // its round.
  std::atomic<std::size_t> answers_seen{0};
  std::thread stopper([&] {
    const Clock::time_point until = Clock::now() + std::chrono::seconds(20);
    while (answers_seen.load() < 256 && Clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    kill(pid, signo);
  });
  // Answers come in order: the first `answered` records are acknowledged.
  std::size_t answered = 0;
  bool aligned = true;
  for (Bytes got; !(got = session->read_bytes(4096)).empty();) {
    aligned = aligned && got.size() % 4 == 0;
    answered += got.size() / 4;
    answers_seen.store(answered);
  }
  sender.join();
  stopper.join();
  session.reset();
  EXPECT_TRUE(aligned);
  ASSERT_EQ(daemon_->wait_exit(std::chrono::seconds(20)), 128 + signo);
  EXPECT_GT(answered, 0u);
  // The stop came in the middle of the stream.
  EXPECT_LT(answered, static_cast<std::size_t>(kRecords));

  daemon_ = std::make_unique<Daemon>(tree_);
  ASSERT_TRUE(daemon_->wait_ready());
  {
    RawClient last(tree_);
    last.send(access_record("last"));
    ASSERT_EQ(last.read_until_close(), kAcceptedAnswer);
  }
  const std::vector<std::string> files =
      list_files(tree_.log_root() + "/accesslog");
  ASSERT_EQ(files.size(), 1u);
  const std::string text =
      read_file(tree_.log_root() + "/accesslog/" + files[0]);
  ASSERT_GE(text.size(), 2u);
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n") << "a half line at the end";
  const std::vector<std::string> tails = access_tails(tree_);
  std::map<std::string, int> seen;
  for (const std::string& tail : tails) ++seen[tail];
  for (std::size_t i = 0; i < answered; ++i) {
    ASSERT_EQ(seen[access_tail("k" + std::to_string(i))], 1) << i;
  }
  for (const auto& [tail, n] : seen) EXPECT_EQ(n, 1) << tail;
  EXPECT_EQ(tails.back(), access_tail("last"));
  if (signo == SIGTERM) {
    EXPECT_EQ(tails.size(), answered + 1) << "rows written and not answered";
  }
  const auto [name, count] = read_state(tree_, "access_info");
  EXPECT_THAT(files[0], HasSubstr(name));
  EXPECT_EQ(count, static_cast<long>(tails.size()));
}

}  // namespace
}  // namespace quillo_test
