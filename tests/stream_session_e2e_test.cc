// quillo-send --stream over a session: against a daemon stand-in served by
// a thread of the test on the tree's socket (one that knows no sessions,
// one that opens them, one that loses a session halfway), and against the
// real quillod with omprog's transactions.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/unique_fd.h"
#include "protocol/connection.h"
#include "protocol/listener.h"
#include "protocol/packet.h"
#include "tests/e2e_support.h"

namespace quillo_test {
namespace {

using ::testing::ElementsAreArray;
using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// The texts fields_input(from, to, tag) gives its records.
std::vector<std::string> texts(int from, int to, const std::string& tag) {
  std::vector<std::string> out;
  for (int i = from; i < to; ++i) {
    char text[32];
    std::snprintf(text, sizeof(text), "%s%05d", tag.c_str(), i);
    out.emplace_back(text);
  }
  return out;
}

std::string repeat(const std::string& line, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += line;
  return out;
}

const std::string kBegin = "BEGIN TRANSACTION\n";
const std::string kCommit = "COMMIT TRANSACTION\n";

// A daemon stand-in: it answers a session request with `session_answer`
// (5 opens the session; 0, as a daemon without sessions does, and it
// closes) and each system record with 0, or 3 when its first text begins
// with "refuse"; a record outside a session ends its connection. With
// `drop_at` > 0 it closes its connection without answering when the
// drop_at-th record of the run arrives (counted as written, as by a daemon
// that dies after the write). One connection at a time, each wait on the
// client bounded.
class StandIn {
  template <typename F>
  auto locked(F f) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return f();
  }

 public:
  StandIn(const ApplianceTree& tree, std::uint16_t session_answer,
          int drop_at = 0)
      : listener_(tree.socket()),
        session_answer_(session_answer),
        drop_at_(drop_at) {
    int fds[2];
    EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
    stop_read_.reset(fds[0]);
    stop_write_.reset(fds[1]);
    EXPECT_EQ(listener_.open(), quillo::Listener::Open::kOk);
    thread_ = std::thread([this] { serve(); });
  }
  ~StandIn() {
    const char c = 's';
    EXPECT_EQ(write(stop_write_.get(), &c, 1), 1);
    thread_.join();
  }

  int connections() const {
    return locked([&] { return connections_; });
  }
  int session_requests() const {
    return locked([&] { return session_requests_; });
  }
  // The first text of each record received, in order, and the connection
  // (1-based) each came on.
  std::vector<std::string> received() const {
    return locked([&] { return received_; });
  }
  std::vector<int> received_on() const {
    return locked([&] { return received_on_; });
  }

 private:
  void serve() {
    for (;;) {
      pollfd fds[2] = {{listener_.fd(), POLLIN, 0},
                       {stop_read_.get(), POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents != 0) return;
      const int fd = listener_.accept();
      if (fd < 0) continue;
      quillo::Connection peer(fd);
      serve_one(&peer);
    }
  }

  void serve_one(quillo::Connection* peer) {
    const int connection = locked([&] { return ++connections_; });
    bool session = false;
    for (;;) {
      peer->set_deadline(std::chrono::steady_clock::now() +
                         std::chrono::seconds(10));
      quillo::RequestData request;
      if (peer->receive(request) != 0) return;
      if (!session && request.type_code() == 2) {
        locked([&] { return ++session_requests_; });
        peer->send(quillo::ResultData(session_answer_));
        if (session_answer_ != quillo::kResultSessionOpen) return;
        session = true;
        continue;
      }
      const quillo::ReqSystemLog record(request);
      const std::string text = record.well_formed() ? record.text1() : "?";
      const int count = locked([&] {
        received_.push_back(text);
        received_on_.push_back(connection);
        return static_cast<int>(received_.size());
      });
      if (count == drop_at_) return;
      peer->send(quillo::ResultData(text.compare(0, 6, "refuse") == 0
                                        ? quillo::kResultNotStored
                                        : quillo::kResultAccepted));
      if (!session) return;
    }
  }

  quillo::Listener listener_;
  const std::uint16_t session_answer_;
  const int drop_at_;
  base::UniqueFd stop_read_, stop_write_;
  mutable std::mutex mutex_;
  int connections_ = 0;
  int session_requests_ = 0;
  std::vector<std::string> received_;
  std::vector<int> received_on_;
  std::thread thread_;
};

const std::vector<std::string> kTransactionArgs = {"--stream", "--confirm",
                                                   "--transactions"};

TEST(StreamSessionTest, FallsBackToOneConnectionPerRecordWithAnOldDaemon) {
  ApplianceTree tree;
  StandIn daemon(tree, quillo::kResultAccepted);
  const RunResult r = run_client(tree, kTransactionArgs,
                                 kBegin + fields_input(0, 20, "n") + kCommit);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "OK\nOK\n" + repeat("DEFER_COMMIT\n", 20) + "OK\n");
  EXPECT_THAT(r.err, HasSubstr("opened no session"));
  EXPECT_EQ(daemon.session_requests(), 1);
  // The session request's connection, then one per record, in order.
  EXPECT_EQ(daemon.connections(), 21);
  EXPECT_THAT(daemon.received(), ElementsAreArray(texts(0, 20, "n")));
  std::vector<int> one_each;
  for (int c = 2; c <= 21; ++c) one_each.push_back(c);
  EXPECT_THAT(daemon.received_on(), ElementsAreArray(one_each));
}

TEST(StreamSessionTest, CarriesEveryRecordOverOneSession) {
  ApplianceTree tree;
  StandIn daemon(tree, quillo::kResultSessionOpen);
  // More lines than the window; the second transaction's last is refused.
  RunResult r = run_client(tree, kTransactionArgs,
                           kBegin + fields_input(0, 150, "a") + kCommit +
                               kBegin + fields_input(0, 9, "b") +
                               fields_input(0, 1, "refuse") + kCommit);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "OK\nOK\n" + repeat("DEFER_COMMIT\n", 150) + "OK\nOK\n" +
                       repeat("DEFER_COMMIT\n", 10) +
                       "Error: record not stored\n");
  EXPECT_THAT(r.err, HasSubstr("1 records not taken"));
  std::vector<std::string> sent = texts(0, 150, "a");
  for (const std::string& t : texts(0, 9, "b")) sent.push_back(t);
  sent.push_back("refuse00000");
  EXPECT_THAT(daemon.received(), ElementsAreArray(sent));
  EXPECT_EQ(daemon.connections(), 1);
  EXPECT_EQ(daemon.session_requests(), 1);

  // Plain lines from a pipe: sent ahead, answered in input order.
  r = run_client(tree, {"--stream", "--confirm"},
                 fields_input(0, 99, "c") + fields_input(0, 1, "refuse") +
                     fields_input(99, 200, "c"));
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "OK\n" + repeat("OK\n", 99) + "Error: record not stored\n" +
                       repeat("OK\n", 101));
  EXPECT_EQ(daemon.connections(), 2);
  EXPECT_EQ(daemon.received().size(), sent.size() + 201);
}

TEST(StreamSessionTest, SendsTheRecordsInFlightAgainAfterALostSession) {
  ApplianceTree tree;
  StandIn daemon(tree, quillo::kResultSessionOpen, 40);
  const RunResult r = run_client(tree, kTransactionArgs,
                                 kBegin + fields_input(0, 100, "n") + kCommit);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "OK\nOK\n" + repeat("DEFER_COMMIT\n", 100) + "OK\n");
  EXPECT_EQ(daemon.session_requests(), 2);
  // The 40th was written but not answered: it is sent again, first on the
  // new session, and so is everything after it; nothing is lost.
  std::vector<std::string> expected = texts(0, 40, "n");
  for (const std::string& t : texts(39, 100, "n")) expected.push_back(t);
  EXPECT_THAT(daemon.received(), ElementsAreArray(expected));
  const std::vector<int> on = daemon.received_on();
  ASSERT_EQ(on.size(), expected.size());
  EXPECT_EQ(on[39], 1);
  EXPECT_EQ(on[40], 2);
  EXPECT_EQ(on.back(), 2);
}

TEST(StreamSessionTest, TransactionsReachTheRealDaemon) {
  ApplianceTree tree;
  const std::string one = kBegin + fields_input(0, 1, "x") + kCommit;
  RunResult r = run_client(tree, kTransactionArgs, one);
  EXPECT_EQ(r.status, 2);
  // No daemon: the commit waits for one, with keep-alive dots, and fails
  // after its bound, so that rsyslog offers the batch again.
  EXPECT_THAT(r.out, StartsWith("OK\nOK\nDEFER_COMMIT\n."));
  EXPECT_THAT(r.out, EndsWith(".Error: no connection to quillod\n"));
  EXPECT_THAT(r.err, HasSubstr("the transaction waits for quillod"));

  Daemon daemon(tree);
  ASSERT_TRUE(daemon.wait_ready());
  r = run_client(
      tree, kTransactionArgs,
      kBegin + fields_input(0, 60, "n") + "not a record\n" + kCommit + one);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "OK\nOK\n" + repeat("DEFER_COMMIT\n", 61) + "OK\n" +
                       "OK\nDEFER_COMMIT\nOK\n");
  EXPECT_THAT(r.err, HasSubstr("line 62 unparseable"));
  const std::vector<std::string> rows = csv_rows(tree, "systemlog");
  std::vector<std::string> logged;
  for (const std::string& row : rows) {
    const std::size_t start = row.find(',') + 1;
    logged.push_back(row.substr(start, row.find(',', start) - start));
  }
  std::vector<std::string> sent = texts(0, 60, "n");
  sent.push_back("x00000");
  EXPECT_THAT(logged, ElementsAreArray(sent));
}

}  // namespace
}  // namespace quillo_test
