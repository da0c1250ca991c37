// What a local user could do to blind the alerts, through the real daemon
// and the example tree's stand-in notification scripts (which parse every
// request as XML and record it): hold the notice settings' lock, send bytes
// that are not text, make a script flood its output, put "%s" in a path;
// and a lone match is mailed one quiet period after it, not two.

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
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
using Clock = std::chrono::steady_clock;

template <typename Condition>
bool eventually(Condition done, std::chrono::seconds bound) {
  const auto until = Clock::now() + bound;
  while (!done()) {
    if (Clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

// The example tree's scripts and notice settings on a private tree, an
// alert condition that matches every read, and a daemon with a short quiet
// period (`quiet` seconds).
class AlertNoticeTest : public ::testing::Test {
 protected:
  void start(int quiet) {
    setenv("QUILLO_ALERT_QUIET", std::to_string(quiet).c_str(), 1);
    setenv("QUILLO_SCRIPT_TIMEOUT", "60", 1);
    std::filesystem::copy(
        QUILLO_EXAMPLE_TREE, tree_.root(),
        std::filesystem::copy_options::recursive |
            std::filesystem::copy_options::overwrite_existing);
    tree_.write_config(tree_.default_config_body() +
                       ApplianceTree::alert_list("watch", "open_read"));
    daemon_ = std::make_unique<Daemon>(tree_);
    ASSERT_TRUE(daemon_->wait_ready());
  }
  int access(const std::string& user, const std::string& host,
             const std::string& share, const std::string& path) const {
    return run_client(tree_, {"--access", user, host, "10.0.0.5", "open", "1",
                              "0", share, "r|" + path})
        .status;
  }
  std::string notices(const std::string& kind) const {
    return read_file(tree_.path("var/log/quillo-notices/" + kind + ".log"));
  }
  bool mailed(const std::string& text) const {
    return notices("mail").find(text) != std::string::npos;
  }

  ApplianceTree tree_;
  std::unique_ptr<Daemon> daemon_;
};

TEST_F(AlertNoticeTest, HeldLockDelaysTheMailWithoutLosingIt) {
  start(1);
  const std::string lock = tree_.path("var/lock/config-notice.xml.lock");
  const int fd = open(lock.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);  // as any local process could
  ASSERT_EQ(access("bob", "pc1", "docs", "kept.txt"), 0);
  EXPECT_TRUE(eventually(
      [&] {
        return daemon_->err().find("rows kept for the next try") !=
               std::string::npos;
      },
      std::chrono::seconds(40)));
  EXPECT_FALSE(mailed("kept.txt"));
  close(fd);
  EXPECT_TRUE(
      eventually([&] { return mailed("kept.txt"); }, std::chrono::seconds(40)));
  // The batch was announced once, when it finally went out.
  const std::string events = notices("eventlog");
  EXPECT_EQ(events.find("code=71100010"), events.rfind("code=71100010"));
  const auto counts = daemon_->counters();
  EXPECT_GE(counts.at("notice_lock_busy"), 1u);
  EXPECT_GE(counts.at("alert_batches_kept"), 1u);
}

TEST_F(AlertNoticeTest, HostileBytesAndPercentSignsReachTheMailAsText) {
  start(1);
  ASSERT_EQ(access("u\x01x", "pc\xff", "s\x02", "100%s_report\xef\xbf\xbe.txt"),
            0);
  ASSERT_TRUE(
      eventually([&] { return mailed("_report"); }, std::chrono::seconds(40)))
      << notices("mail");
  const std::string mail = notices("mail");
  EXPECT_THAT(mail, HasSubstr(",u#001x,pc\xef\xbf\xbd,10.0.0.5,open_read,ok,"
                              "s#002,100%s_report\xef\xbf\xbd.txt\n"));
  EXPECT_THAT(mail, Not(HasSubstr("unreadable request")));
  // The log on disk keeps the bytes as they came.
  const std::vector<std::string> files = list_files(tree_.log_root());
  ASSERT_FALSE(files.empty());
  EXPECT_THAT(read_file(tree_.log_root() + "/" + files[0]),
              HasSubstr(",u\x01x,pc\xff,"));
  // Both addresses went out: the request was well-formed XML.
  EXPECT_TRUE(eventually(
      [&] { return daemon_->counters()["mail_addresses_sent"] == 2u; },
      std::chrono::seconds(20)));
}

TEST_F(AlertNoticeTest, FloodingScriptCostsNoMemory) {
  // The event-log script writes 300 MB instead of an answer.
  start(1);
  write_file(tree_.path("mnt/data/bin/vek_eventlog.py"),
             "#!/bin/sh\ncat > /dev/null\n"
             "head -c 300000000 /dev/zero | tr '\\0' x\n");
  ASSERT_EQ(chmod(tree_.path("mnt/data/bin/vek_eventlog.py").c_str(), 0755), 0);
  ASSERT_EQ(access("bob", "pc1", "docs", "flood.txt"), 0);
  ASSERT_TRUE(eventually([&] { return mailed("flood.txt"); },
                         std::chrono::seconds(60)));
  const auto counts = daemon_->counters();
  EXPECT_GE(counts.at("script_answers_cut"), 1u);
  // The daemon's peak resident memory stays far below the flood.
  std::ifstream status("/proc/" + std::to_string(daemon_->pid()) + "/status");
  long peak_kb = -1;
  for (std::string key; status >> key;) {
    if (key == "VmHWM:") status >> peak_kb;
  }
  ASSERT_GT(peak_kb, 0);
  EXPECT_LT(peak_kb, 150 * 1024);
}

TEST_F(AlertNoticeTest, LoneMatchIsMailedOneQuietPeriodAfterIt) {
  // Long enough that the notice scripts' own time, on a loaded machine,
  // stays well inside half a period.
  constexpr int kQuiet = 6;
  start(kQuiet);
  // Right after a wake-up, the worst moment for a thread that only looks
  // every quiet period: it would mail about two periods later.
  ASSERT_TRUE(eventually(
      [&] {
        return daemon_->out().find("alert_thread: wake up.") !=
               std::string::npos;
      },
      std::chrono::seconds(20)));
  const auto sent = Clock::now();
  ASSERT_EQ(access("bob", "pc1", "docs", "lone.txt"), 0);
  ASSERT_TRUE(
      eventually([&] { return mailed("lone.txt"); }, std::chrono::seconds(30)));
  const double seconds =
      std::chrono::duration<double>(Clock::now() - sent).count();
  EXPECT_GE(seconds, kQuiet - 1);
  EXPECT_LT(seconds, kQuiet * 1.5) << "mailed " << seconds << " s after";
}

}  // namespace
}  // namespace quillo_test
