// Peers that hold the request loop's attention without sending a request,
// and the socket path itself: a folder planted there before start-up, the
// socket file removed while the daemon runs, a second daemon.

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/e2e_support.h"

namespace quillo_test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// Waits (bounded) until `done` holds; true when it did.
template <typename Condition>
bool eventually(Condition done) {
  const auto until =
      std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

bool is_socket(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

class RunningDaemonPeersTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(daemon_.wait_ready()); }
  int system(const std::string& text) const {
    return run_client(tree_, {"--system", "1796635815", text, "", ""}).status;
  }
  std::string system_log() const {
    const std::vector<std::string> files = list_files(tree_.log_root());
    return files.empty() ? "" : read_file(tree_.log_root() + "/" + files[0]);
  }

  ApplianceTree tree_;
  Daemon daemon_{tree_};
};

TEST_F(RunningDaemonPeersTest, IdleAndHalfSentPeersDoNotHoldUpOthers) {
  // Served one after another, these would cost 5 s each: far beyond the
  // client's own 30 s bound.
  std::vector<std::unique_ptr<RawClient>> idle;
  for (int i = 0; i < 12; ++i) {
    idle.push_back(std::make_unique<RawClient>(tree_));
    ASSERT_TRUE(idle.back()->connected());
    if (i % 2 == 1) idle.back()->send({0, 9, 0});  // a third of a frame
  }
  EXPECT_EQ(system("first"), 0);
  EXPECT_EQ(system("second"), 0);
  // Each record exactly once, in order.
  EXPECT_EQ(system_log(),
            "\xEF\xBB\xBF"
            "2026/12/07 09:30:15,first,,\r\n"
            "2026/12/07 09:30:15,second,,\r\n");
  // Their bound passes: each is dropped with the usual message.
  EXPECT_TRUE(eventually([&] {
    const std::string err = daemon_.err();
    return err.find("Incomplete request!! Ignore.") != std::string::npos &&
           err.find("No data request!! Ignore.") != std::string::npos;
  })) << daemon_.err();
  for (const auto& peer : idle) EXPECT_TRUE(peer->read_until_close().empty());
}

// Occurrences of `text` at the start of a line of `out`.
std::size_t lines_with(const std::string& out, const std::string& text) {
  std::size_t n = 0;
  for (std::size_t at = out.find(text); at != std::string::npos;
       at = out.find(text, at + 1)) {
    if (at == 0 || out[at - 1] == '\n') ++n;
  }
  return n;
}

TEST_F(RunningDaemonPeersTest, FloodOfSilentPeersGivesAFewLinesOnly) {
  // More than the set holds: the oldest are evicted as the later ones
  // arrive, the rest end when the test closes them.
  constexpr std::size_t kFlood = 300;
  {
    std::vector<std::unique_ptr<RawClient>> silent;
    for (std::size_t i = 0; i < kFlood; ++i) {
      silent.push_back(std::make_unique<RawClient>(tree_));
      ASSERT_TRUE(silent.back()->connected());
    }
  }
  EXPECT_TRUE(eventually(
      [&] { return daemon_.counters()["requests_malformed"] >= kFlood; }));
  EXPECT_EQ(system("after the flood"), 0);
  const std::string err = daemon_.err();
  // The message itself is kept, a few times a minute.
  EXPECT_GE(lines_with(err, "No data request!! Ignore.\n"), 1u) << err;
  EXPECT_LE(lines_with(err, "No data request!! Ignore.\n"), 5u);
  EXPECT_LE(std::count(err.begin(), err.end(), '\n'), 8);
}

TEST_F(RunningDaemonPeersTest, RemovedSocketIsMadeAgain) {
  ASSERT_EQ(unlink(tree_.socket().c_str()), 0);
  // The loop looks at the socket file when it wakes, once a second at most
  // (at the latest once a minute); a signal wakes it sooner.
  EXPECT_TRUE(eventually([&] {
    daemon_.signal(SIGUSR1);
    return is_socket(tree_.socket());
  }));
  EXPECT_EQ(system("after"), 0);
  EXPECT_THAT(daemon_.err(), HasSubstr("was gone: made again."));
}

TEST_F(RunningDaemonPeersTest, SecondDaemonLeavesTheLiveSocketAlone) {
  Daemon second(tree_);
  EXPECT_EQ(second.wait_exit(std::chrono::seconds(20)), 2);
  EXPECT_THAT(second.err(), HasSubstr("another quillod serves"));
  EXPECT_EQ(system("still served"), 0);
}

TEST(DescriptorLimitTest, HonestRecordsAreTakenWhilePeersHoldTheDescriptors) {
  ApplianceTree tree;
  Daemon daemon(tree, {}, 64);
  ASSERT_TRUE(daemon.wait_ready());
  // More silent connections than the daemon has descriptors.
  std::vector<std::unique_ptr<RawClient>> held;
  for (int i = 0; i < 100; ++i) {
    held.push_back(std::make_unique<RawClient>(tree));
    ASSERT_TRUE(held.back()->connected());
  }
  const RunResult r = run_client(tree, {"--stream", "--confirm"},
                                 fields_input(0, 40, "honest"));
  EXPECT_EQ(r.status, 0) << r.err;
  std::string confirmed = "OK\n";
  for (int i = 0; i < 40; ++i) confirmed += "OK\n";
  EXPECT_EQ(r.out, confirmed);
  const std::vector<std::string> rows = csv_rows(tree, "systemlog");
  ASSERT_EQ(rows.size(), 40u);
  EXPECT_THAT(rows.back(), HasSubstr(",honest00039,"));
  // Held ones are let go without an answer, and accepting never stopped.
  for (const auto& peer : held) EXPECT_TRUE(peer->read_until_close().empty());
  EXPECT_THAT(daemon.err(), Not(HasSubstr("Accept fail!!")));
  EXPECT_THAT(daemon.err(), HasSubstr("at most 32 clients wait at once."));
}

TEST(PlantedSocketPathTest, FolderAtTheSocketPathIsMovedAside) {
  ApplianceTree tree;
  ASSERT_EQ(mkdir(tree.socket().c_str(), 0777), 0);
  write_file(tree.socket() + "/inside", "kept");
  Daemon daemon(tree);
  ASSERT_TRUE(daemon.wait_ready());
  const std::string aside =
      tree.socket() + ".stale." + std::to_string(daemon.pid());
  EXPECT_EQ(read_file(aside + "/inside"), "kept");
  EXPECT_TRUE(is_socket(tree.socket()));
  EXPECT_EQ(run_client(tree, {"--system", "1", "a", "b", "c"}).status, 0);
  EXPECT_THAT(daemon.err(), HasSubstr("moved aside to " + aside));
}

}  // namespace
}  // namespace quillo_test
