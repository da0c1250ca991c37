// The real quillod and quillo-send over the real socket: statuses, frames
// the daemon must survive, detaching and start-up checks.

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "protocol/connection.h"
#include "protocol/listener.h"
#include "protocol/packet.h"
#include "tests/e2e_support.h"

namespace quillo_test {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

class RunningDaemonTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(daemon_.wait_ready()) << daemon_.err(); }

  // Sends raw bytes, then ends the write side, and returns the answer.
  std::vector<unsigned char> Exchange(const std::vector<unsigned char>& bytes,
                                      bool end_write = true) {
    RawClient c(tree_);
    EXPECT_TRUE(c.connected());
    c.send(bytes);
    if (end_write) c.shutdown_write();
    return c.read_until_close();
  }

  // The daemon still serves a normal record.
  void ExpectStillServing() {
    EXPECT_EQ(Exchange(system_frame("1700000000", "a", "b", "c")),
              kAcceptedAnswer);
  }

  ApplianceTree tree_;
  Daemon daemon_{tree_};
};

TEST_F(RunningDaemonTest, ClientStatusZeroForBothKinds) {
  const RunResult s = run_client(tree_, {"--system", "1700000000", "a", "b", "c"});
  EXPECT_EQ(s.status, 0) << s.err;
  const RunResult a = run_client(
      tree_, {"-a", "bob", "pc1", "10.0.0.5", "open", "1", "0", "docs", "r|a"});
  EXPECT_EQ(a.status, 0) << a.err;
  EXPECT_THAT(daemon_.out(), HasSubstr("system log request received.\n"));
  EXPECT_THAT(daemon_.out(), HasSubstr("access log request received.\n"));
}

TEST_F(RunningDaemonTest, ClientCommandLineErrorIsStatusOne) {
  const RunResult r = run_client(tree_, {"--system", "a", "b", "c"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error: too few argument!!\n");
  const RunResult none = run_client(tree_, {});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.err, "Error: invalid argument!!\n");
}

TEST_F(RunningDaemonTest, EmptyFrameGetsNoAnswer) {
  EXPECT_THAT(Exchange({0, 0}), IsEmpty());
  EXPECT_THAT(daemon_.err(), HasSubstr("No data request!! Ignore.\n"));
  ExpectStillServing();
}

TEST_F(RunningDaemonTest, UnknownTypeIsAnsweredAndIgnored) {
  EXPECT_EQ(Exchange({0, 4, 0, 2, 0, 7}), kAcceptedAnswer);
  EXPECT_THAT(daemon_.err(), HasSubstr("Invalid request type!! Ignore.\n"));
}

struct BadFrame {
  const char* name;
  std::vector<unsigned char> bytes;
  const char* message;
};

class BadFrameTest : public RunningDaemonTest,
                     public ::testing::WithParamInterface<BadFrame> {};

TEST_P(BadFrameTest, IsDroppedWithoutAnswerAndTheDaemonGoesOn) {
  EXPECT_THAT(Exchange(GetParam().bytes), IsEmpty());
  EXPECT_THAT(daemon_.err(), HasSubstr(GetParam().message));
  ExpectStillServing();
}

INSTANTIATE_TEST_SUITE_P(
    Frames, BadFrameTest,
    ::testing::Values(
        BadFrame{"TruncatedBody", {0, 40, 0, 2, 0, 1, 0, 3}, "Incomplete request!! Ignore.\n"},
        BadFrame{"OneByteBody", {0, 1, 0}, "Malformed request!! Ignore.\n"},
        BadFrame{"ThreeByteBody", {0, 3, 0, 2, 0}, "Malformed request!! Ignore.\n"},
        BadFrame{"SystemWithoutTexts",
                 {0, 8, 0, 2, 0, 1, 0, 2, '1', 0},
                 "Malformed request!! Ignore.\n"},
        BadFrame{"AccessWithUnterminatedUser",
                 {0, 7, 0, 2, 0, 0, 0, 1, 'u'},
                 "Malformed request!! Ignore.\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RunningDaemonTest, OversizeRecordIsShortenedAndTaken) {
  // Too long for one body: the client shortens the longest text so that
  // the record is logged whole rather than refused.
  const std::string huge(5000, 'x');
  const RunResult r =
      run_client(tree_, {"--system", "1700000000", "a", huge.c_str(), "c"});
  EXPECT_EQ(r.status, 0);
  const std::vector<std::string> files = list_files(tree_.log_root());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_THAT(read_file(tree_.log_root() + "/" + files[0]),
              HasSubstr(",a,xxx" + std::string(4000, 'x')));
  EXPECT_THAT(read_file(tree_.log_root() + "/" + files[0]),
              HasSubstr("xxx...,c\r\n"));
}

TEST_F(RunningDaemonTest, SilentClientIsDroppedAndTheNextServed) {
  RawClient silent(tree_);
  ASSERT_TRUE(silent.connected());
  // Served after the silent client's bounded wait ran out.
  const RunResult r = run_client(tree_, {"--system", "1", "a", "b", "c"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(silent.read_until_close(), IsEmpty());
}

TEST_F(RunningDaemonTest, RequestSplitOverSeveralWrites) {
  const std::vector<unsigned char> frame = system_frame("1", "a", "b", "c");
  RawClient c(tree_);
  for (unsigned char byte : frame) {
    c.send({byte});
    std::this_thread::yield();
  }
  EXPECT_EQ(c.read_until_close(), kAcceptedAnswer);
}

TEST(ClientTest, NoDaemonGivesStatusThree) {
  ApplianceTree tree;
  const RunResult r = run_client(tree, {"--system", "1", "a", "b", "c"});
  EXPECT_EQ(r.status, 3);
}

TEST(ClientTest, VersionAndHelpDoNotConnect) {
  ApplianceTree tree;
  const RunResult v = run_client(tree, {"-V"});
  EXPECT_EQ(v.status, 0);
  EXPECT_EQ(v.out, quillo_send_path() + " : Ver.0.01\n");
  const RunResult h = run_client(tree, {"--help"});
  EXPECT_EQ(h.status, 0);
  EXPECT_EQ(h.out, quillo_send_path() +
                       " [-hV] [--system|--access] LOG_DATA ...\n" +
                       quillo_send_path() +
                       " --stream [--format=fields|samba-audit] [--confirm]\n");
}

TEST(ClientTest, LinksNoXmlLibraries) {
  const RunResult r = run("/usr/bin/ldd", {quillo_send_path()}, "");
  EXPECT_THAT(r.out + r.err, Not(HasSubstr("xml")));
  EXPECT_THAT(r.out + r.err, Not(HasSubstr("glibmm")));
}

TEST(StartupTest, SocketPathTooLongIsRefused) {
  const std::string root = "/tmp/" + std::string(110, 'r');
  const std::string socket = root + "/tmp/quillo";
  const RunResult d = run(quillod_path(), {}, root);
  EXPECT_EQ(d.status, 2);
  EXPECT_EQ(d.err, "Error: socket path too long: " + socket + "\n");
  const RunResult c = run(quillo_send_path(), {"--system", "1", "a", "b", "c"}, root);
  EXPECT_EQ(c.status, 3);
  EXPECT_EQ(c.err, "Error: socket path too long: " + socket + "\n");
}

TEST(StartupTest, StaleSocketFileIsReplaced) {
  ApplianceTree tree;
  write_file(tree.socket(), "stale");
  Daemon daemon(tree);
  ASSERT_TRUE(daemon.wait_ready());
  struct stat st {};
  ASSERT_EQ(stat(tree.socket().c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0777u);
}

TEST(StartupTest, DaemonOptionDetaches) {
  ApplianceTree tree;
  const RunResult r = run(quillod_path(), {"--daemon", "extra"}, tree.root());
  EXPECT_EQ(r.status, 0);
  // The detached daemon is not our child: wait (bounded) for its socket.
  auto probe = std::make_unique<RawClient>(tree);
  for (int i = 0; i < 2000 && !probe->connected(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    probe = std::make_unique<RawClient>(tree);
  }
  ASSERT_TRUE(probe->connected());
  const pid_t detached = probe->peer_pid();
  ASSERT_GT(detached, 0);
  probe->send(system_frame("1", "a", "b", "c"));
  EXPECT_EQ(probe->read_until_close(), kAcceptedAnswer);
  kill(detached, SIGKILL);
}

TEST(StartupTest, OnlyTheFirstArgumentCanDetach) {
  ApplianceTree tree;
  Daemon daemon(tree, {"extra", "-D"});
  ASSERT_TRUE(daemon.wait_ready());
  // Still our child: it did not fork away.
  EXPECT_EQ(daemon.wait_exit(std::chrono::milliseconds(0)), -1);
  RawClient c(tree);
  EXPECT_EQ(c.peer_pid(), daemon.pid());
}

}  // namespace
}  // namespace quillo_test

namespace quillo_test {
namespace {

// quillo-send against a listener of the test's own, to see its exact
// frames and its statuses for every kind of answer.
class FakeDaemonTest : public ::testing::Test {
 protected:
  // Serves one client: records its request and answers with `answer`
  // (nothing when empty).
  std::vector<unsigned char> Serve(const std::vector<std::string>& args,
                                   const std::vector<unsigned char>& answer,
                                   int* status) {
    quillo::Listener listener(tree_.socket());
    EXPECT_EQ(listener.open(), quillo::Listener::Open::kOk);
    std::vector<unsigned char> request;
    std::thread server([&] {
      // Waits at most Listener::kAcceptWaitSeconds for the client.
      const int fd = listener.accept();
      if (fd < 0) return;
      quillo::Connection peer(fd);
      quillo::RequestData r;
      peer.set_deadline(std::chrono::steady_clock::now() + std::chrono::seconds(20));
      if (peer.receive(r) == 0) {
        request.assign(r.data.get(), r.data.get() + r.size);
      }
      if (!answer.empty()) ::write(fd, answer.data(), answer.size());
    });
    *status = run_client(tree_, args).status;
    server.join();
    return request;
  }

  ApplianceTree tree_;
};

TEST_F(FakeDaemonTest, NumbersAreConvertedWithBaseZeroAndCut) {
  int status = -1;
  const std::vector<unsigned char> body = Serve(
      {"--access", "u", "h", "i", "o", "0x1", "-1", "s", "p", "extra"},
      kAcceptedAnswer, &status);
  EXPECT_EQ(status, 0);
  const quillo::ReqAccessLog expected("u", "h", "i", "o", 1, 65535, "s", "p");
  EXPECT_EQ(body, std::vector<unsigned char>(expected.data.get(),
                                             expected.data.get() + expected.size));
}

TEST_F(FakeDaemonTest, LastKindWinsAndExtraDataIsIgnored) {
  int status = -1;
  const std::vector<unsigned char> body = Serve(
      {"-a", "-s", "u", "h", "i", "o", "1", "0", "s", "p"}, kAcceptedAnswer,
      &status);
  EXPECT_EQ(status, 0);
  const quillo::ReqSystemLog expected("u", "h", "i", "o");
  EXPECT_EQ(body, std::vector<unsigned char>(expected.data.get(),
                                             expected.data.get() + expected.size));
}

struct AnswerCase {
  const char* name;
  std::vector<unsigned char> answer;
  int status;
};

class AnswerTest : public FakeDaemonTest,
                   public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(AnswerTest, GivesTheStatus) {
  int status = -1;
  Serve({"--system", "1", "a", "b", "c"}, GetParam().answer, &status);
  EXPECT_EQ(status, GetParam().status);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, AnswerTest,
    ::testing::Values(AnswerCase{"Accepted", {0, 2, 0, 0}, 0},
                      AnswerCase{"OtherCode", {0, 2, 0, 1}, 5},
                      AnswerCase{"NoAnswer", {}, 5},
                      AnswerCase{"ShortAnswer", {0, 2, 0}, 5},
                      AnswerCase{"EmptyBody", {0, 0}, 5}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillo_test
