// Records sent with quillo-send become the exact lines of the exact files.

#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <ctime>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/e2e_support.h"

namespace quillo_test {
namespace {

using ::testing::ElementsAre;
using ::testing::MatchesRegex;

constexpr char kBom[] = "\xEF\xBB\xBF";

class LoggingTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The daemon inherits the zone, so both sides agree on local time.
    setenv("TZ", "UTC", 1);
  }

  int Send(const std::vector<std::string>& args) {
    return run_client(tree_, args).status;
  }

  ApplianceTree tree_;
};

TEST_F(LoggingTest, SystemRecordLandsAsTheExactLine) {
  Daemon daemon(tree_);
  ASSERT_TRUE(daemon.wait_ready());
  // 2026-12-07 09:30:15 UTC
  ASSERT_EQ(Send({"--system", "1796635815", "alpha", "beta", "gamma"}), 0);
  EXPECT_THAT(list_files(tree_.log_root()),
              ElementsAre("systemlog/202612/system_20261207093015.csv"));
  EXPECT_EQ(read_file(tree_.log_root() +
                      "/systemlog/202612/system_20261207093015.csv"),
            std::string(kBom) + "2026/12/07 09:30:15,alpha,beta,gamma\r\n");
  EXPECT_EQ(read_file(tree_.state_dir() + "/system_info"),
            "system_20261207093015.csv\n1\n");
}

TEST_F(LoggingTest, RestartContinuesTheSameFile) {
  {
    Daemon daemon(tree_);
    ASSERT_TRUE(daemon.wait_ready());
    ASSERT_EQ(Send({"--system", "1796635815", "first", "", ""}), 0);
    daemon.signal(SIGTERM);
    ASSERT_NE(daemon.wait_exit(std::chrono::seconds(20)), -1);
  }
  Daemon again(tree_);
  ASSERT_TRUE(again.wait_ready());
  ASSERT_EQ(Send({"--system", "1796635900", "second", "", ""}), 0);
  EXPECT_EQ(read_file(tree_.log_root() +
                      "/systemlog/202612/system_20261207093015.csv"),
            std::string(kBom) + "2026/12/07 09:30:15,first,,\r\n" +
                "2026/12/07 09:31:40,second,,\r\n");
  EXPECT_EQ(read_file(tree_.state_dir() + "/system_info"),
            "system_20261207093015.csv\n2\n");
}

TEST_F(LoggingTest, AccessRecordLandsAsTheExactLine) {
  Daemon daemon(tree_);
  ASSERT_TRUE(daemon.wait_ready());
  const std::time_t before = std::time(nullptr);
  ASSERT_EQ(Send({"--access", "USER01", "host1", "192.0.2.10", "open", "1", "0",
                  "share1", "r|docs/a.txt"}),
            0);
  const std::time_t after = std::time(nullptr);
  const std::vector<std::string> files = list_files(tree_.log_root());
  ASSERT_EQ(files.size(), 1u);
  // The row carries the daemon's clock when it handled the record; the
  // file is named from the same second.
  std::string expected_line;
  bool found = false;
  for (std::time_t t = before; t <= after && !found; ++t) {
    std::tm tm{};
    gmtime_r(&t, &tm);
    char stamp[32];
    char when[32];
    char month[16];
    std::strftime(stamp, sizeof(stamp), "%Y%m%d%H%M%S", &tm);
    std::strftime(when, sizeof(when), "%Y/%m/%d %H:%M:%S", &tm);
    std::strftime(month, sizeof(month), "%Y%m", &tm);
    if (files[0] != std::string("accesslog/") + month + "/access_" + stamp + ".csv") {
      continue;
    }
    found = true;
    EXPECT_EQ(read_file(tree_.log_root() + "/" + files[0]),
              std::string(kBom) + when +
                  ",user01,host1,192.0.2.10,open_read,ok,share1,docs/a.txt\r\n");
  }
  EXPECT_TRUE(found) << files[0];
}

}  // namespace
}  // namespace quillo_test
