// Forwarding to a collector with the real programs: quillod and
// quillo-send under a temporary QUILLO_ROOT, and a private rsyslogd as the
// collector, writing each message exactly as it came.

#include <signal.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/e2e_support.h"

namespace quillo_test {
namespace {

using ::testing::HasSubstr;

constexpr std::chrono::seconds kArrival{60};  // bound on any delivery

std::string forward_conf(int port, const std::string& spool = "") {
  return "  <forwardconf enable=\"true\"><target><host>127.0.0.1</host>"
         "<port>" +
         std::to_string(port) +
         "</port><protocol>tcp</protocol></target>"
         "<kinds system=\"true\" access=\"true\" alert=\"true\"/>" +
         spool + "</forwardconf>\n";
}

std::string host_name() {
  char name[HOST_NAME_MAX + 1] = {};
  gethostname(name, sizeof(name) - 1);
  return name;
}

// "2026/12/07 09:30:15" (local) as "2026-12-07T09:30:15+09:00".
std::string rfc3339(const std::string& log_time) {
  struct tm tm {};
  strptime(log_time.c_str(), "%Y/%m/%d %H:%M:%S", &tm);
  tm.tm_isdst = -1;
  const time_t t = mktime(&tm);
  struct tm local {};
  localtime_r(&t, &local);
  char buf[64];
  strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%S%z", &local);
  std::string s = buf;
  s.insert(s.size() - 2, ":");
  return s;
}

class ForwardEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (Collector::program().empty()) {
      GTEST_SKIP() << "rsyslogd is not installed: no collector to test with";
    }
    setenv("QUILLO_FORWARD_BACKOFF_MAX", "1", 1);
    ASSERT_TRUE(collector_.start())
        << read_file(tree_.path("rsyslog/rsyslogd.out"));
  }

  ApplianceTree tree_;
  Collector collector_{tree_.path("rsyslog")};
};

TEST_F(ForwardEndToEndTest, EachKindArrivesAsExactRfc5424Message) {
  tree_.write_config(tree_.default_config_body() +
                     ApplianceTree::alert_list("deletes", "delete") +
                     forward_conf(collector_.port()));
  Daemon daemon(tree_);
  ASSERT_TRUE(daemon.wait_ready());
  ASSERT_EQ(run_client(tree_, {"--system", "1796635815", "he said \"hi\"",
                               "a]b\\c", "plain"})
                .status,
            0);
  ASSERT_EQ(run_client(tree_, {"--access", "Ann", "pc1", "10.0.0.5", "open",
                               "1", "0", "docs", "r|a.txt"})
                .status,
            0);
  ASSERT_EQ(run_client(tree_, {"--access", "Bob", "pc2", "10.0.0.6", "delete",
                               "0", "2", "docs", "old.txt"})
                .status,
            0);
  const std::vector<std::string> got = collector_.wait_lines(4, kArrival);
  ASSERT_EQ(got.size(), 4u);

  const std::string head =
      " " + host_name() + " quillod " + std::to_string(daemon.pid()) + " ";
  const std::vector<std::string> system = csv_rows(tree_, "systemlog");
  const std::vector<std::string> access = csv_rows(tree_, "accesslog");
  const std::vector<std::string> alert = csv_rows(tree_, "alertlog");
  ASSERT_EQ(system.size(), 1u);
  ASSERT_EQ(access.size(), 2u);
  ASSERT_EQ(alert.size(), 1u);
  EXPECT_EQ(got[0], "<134>1 " + rfc3339(system[0].substr(0, 19)) + head +
                        "system [quillo@32473 text1=\"he said \\\"hi\\\"\" "
                        "text2=\"a\\]b\\\\c\" text3=\"plain\"] " +
                        system[0]);
  EXPECT_EQ(got[1], "<134>1 " + rfc3339(access[0].substr(0, 19)) + head +
                        "access [quillo@32473 user=\"ann\" host=\"pc1\" "
                        "ip=\"10.0.0.5\" op=\"open_read\" result=\"ok\" "
                        "share=\"docs\" path=\"a.txt\"] " +
                        access[0]);
  const std::string delete_sd =
      " [quillo@32473 user=\"bob\" host=\"pc2\" ip=\"10.0.0.6\" op=\"delete\" "
      "result=\"fail (No such file or directory)\" share=\"docs\" "
      "path=\"old.txt\"] ";
  EXPECT_EQ(got[2], "<134>1 " + rfc3339(access[1].substr(0, 19)) + head +
                        "access" + delete_sd + access[1]);
  EXPECT_EQ(got[3], "<133>1 " + rfc3339(alert[0].substr(0, 19)) + head +
                        "alert" + delete_sd + alert[0]);
}

TEST_F(ForwardEndToEndTest, CollectorStoppedWhileIdleGetsEveryRowInOrder) {
  tree_.write_config(tree_.default_config_body() +
                     forward_conf(collector_.port()));
  Daemon daemon(tree_);
  ASSERT_TRUE(daemon.wait_ready());
  ASSERT_EQ(
      run_client(tree_, {"--system", "1796635815", "first", "", ""}).status, 0);
  ASSERT_EQ(collector_.wait_lines(1, kArrival).size(), 1u);
  // The connection is idle now; the collector goes away under it.
  const int port = collector_.port();
  collector_.stop();
  const RunResult sent =
      run_client(tree_, {"--stream"}, fields_input(0, 5000, "n"));
  ASSERT_EQ(sent.status, 0) << sent.err;
  ASSERT_EQ(csv_rows(tree_, "systemlog").size(), 5001u);
  ASSERT_TRUE(collector_.start(port));
  const std::vector<std::string> got = collector_.wait_lines(5001, kArrival);
  ASSERT_EQ(got.size(), 5001u);
  const std::vector<std::string> rows = csv_rows(tree_, "systemlog");
  for (std::size_t i = 0; i < got.size(); ++i) {
    ASSERT_EQ(msg_of(got[i]), rows[i]) << "message " << i;
  }
  const auto counters = daemon.counters();
  EXPECT_EQ(counters.at("forward_rows_sent"), 5001u);
  EXPECT_GE(counters.at("forward_reconnects"), 1u);
  EXPECT_EQ(counters.at("forward_rows_dropped"), 0u);
  EXPECT_EQ(counters.at("forward_spool_failures"), 0u);
}

TEST_F(ForwardEndToEndTest, KilledDaemonResumesAndEveryRowArrives) {
  tree_.write_config(tree_.default_config_body() +
                     forward_conf(collector_.port()));
  {
    Daemon daemon(tree_);
    ASSERT_TRUE(daemon.wait_ready());
    write_file(tree_.path("input"), fields_input(0, 5000, "k"));
    const pid_t client =
        start_program(quillo_send_path(), {"--stream"}, tree_.root(),
                      tree_.path("input"), tree_.path("client.out"));
    collector_.wait_lines(1000, kArrival);
    daemon.signal(SIGKILL);
    EXPECT_NE(daemon.wait_exit(std::chrono::seconds(20)), -1);
    wait_for_exit(client, std::chrono::seconds(60));
  }
  Daemon daemon(tree_);
  ASSERT_TRUE(daemon.wait_ready());
  ASSERT_EQ(
      run_client(tree_, {"--system", "1796635815", "after", "", ""}).status, 0);
  const std::vector<std::string> rows = csv_rows(tree_, "systemlog");
  ASSERT_GT(rows.size(), 1000u);
  // Everything before "after" was spooled before it, and goes before it.
  std::vector<std::string> got;
  const auto until = std::chrono::steady_clock::now() + kArrival;
  do {
    got = collector_.wait_lines(got.size() + 1, std::chrono::seconds(1));
  } while ((got.empty() || msg_of(got.back()) != rows.back()) &&
           std::chrono::steady_clock::now() < until);
  const Arrival arrival = arrival_of(got, rows);
  EXPECT_EQ(arrival.missing, 0u)
      << rows.size() << " rows logged, " << got.size() << " messages, "
      << arrival.distinct << " distinct";
  std::printf("killed mid-stream: %zu rows logged, %zu messages (%zu twice)\n",
              rows.size(), got.size(), got.size() - arrival.distinct);
}

TEST_F(ForwardEndToEndTest, FullSpoolDropsOldestAndLoggingGoesOn) {
  const int port = collector_.port();
  collector_.stop();
  tree_.write_config(tree_.default_config_body() +
                     forward_conf(port,
                                  "<spool><maxmegabytes>1</maxmegabytes>"
                                  "</spool>"));
  Daemon daemon(tree_);
  ASSERT_TRUE(daemon.wait_ready());
  // About 4 KiB a message: four times what the spool holds.
  const RunResult sent = run_client(
      tree_, {"--stream"}, fields_input(0, 1000, "d", std::string(2000, 'p')));
  ASSERT_EQ(sent.status, 0) << sent.err;
  const std::vector<std::string> rows = csv_rows(tree_, "systemlog");
  ASSERT_EQ(rows.size(), 1000u);  // the log files miss nothing
  auto counters = daemon.counters();
  EXPECT_EQ(counters.at("rows_written_system"), 1000u);
  const std::uint64_t dropped = counters.at("forward_rows_dropped");
  EXPECT_GT(dropped, 0u);
  EXPECT_LE(counters.at("forward_spool_bytes"), 1u << 20);
  EXPECT_EQ(counters.at("forward_rows_sent"), 0u);
  EXPECT_THAT(daemon.err(), HasSubstr("Forward spool full!!"));

  ASSERT_TRUE(collector_.start(port));
  const std::vector<std::string> got =
      collector_.wait_lines(1000 - dropped, kArrival);
  ASSERT_EQ(got.size(), 1000 - dropped);
  // What is left is the newest rows, in order.
  for (std::size_t i = 0; i < got.size(); ++i) {
    ASSERT_EQ(msg_of(got[i]), rows[dropped + i]) << "message " << i;
  }
}

// Segments removed by hand behind a stopped daemon, with the position file
// left: rows spooled after that are numbered past the position and arrive.
TEST_F(ForwardEndToEndTest, RowsSpooledAfterSegmentsWereRemovedArrive) {
  tree_.write_config(tree_.default_config_body() +
                     forward_conf(collector_.port()));
  const std::string spool = tree_.state_dir() + "/forward";
  const auto run_daemon = [&](const std::string& tag, bool delivered) {
    Daemon daemon(tree_);
    ASSERT_TRUE(daemon.wait_ready());
    const RunResult sent =
        run_client(tree_, {"--stream"}, fields_input(0, 5, tag));
    ASSERT_EQ(sent.status, 0) << sent.err;
    if (delivered) {
      ASSERT_EQ(collector_.wait_lines(5, kArrival).size(), 5u);
      // SIGTERM ends quillod where it stands: the position on disk is the
      // one the forwarder wrote when it went idle after the last row.
      const auto deadline = std::chrono::steady_clock::now() + kArrival;
      struct stat st;
      const std::string position = spool + "/position";
      while (::stat(position.c_str(), &st) != 0 &&
             std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      ASSERT_EQ(::stat(position.c_str(), &st), 0) << "no position written";
    }
    daemon.signal(SIGTERM);
    ASSERT_NE(daemon.wait_exit(std::chrono::seconds(20)), -1);
  };
  run_daemon("a", true);
  for (const std::string& name : list_files(spool)) {
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".seg") == 0) {
      ASSERT_EQ(unlink((spool + "/" + name).c_str()), 0);
    }
  }
  const int port = collector_.port();
  collector_.stop();
  run_daemon("b", false);
  EXPECT_THAT(read_file(tree_.path("quillod.err")),
              HasSubstr("Forward spool position dropped!! " + spool +
                        "/position said 1 "));
  ASSERT_TRUE(collector_.start(port));

  Daemon daemon(tree_);
  ASSERT_TRUE(daemon.wait_ready());
  const std::vector<std::string> rows = csv_rows(tree_, "systemlog");
  ASSERT_EQ(rows.size(), 10u);
  const std::vector<std::string> got =
      collector_.wait_lines(10, std::chrono::seconds(20));
  const Arrival arrival = arrival_of(got, rows);
  EXPECT_EQ(arrival.missing, 0u) << got.size() << " messages";
  EXPECT_EQ(daemon.counters().at("forward_rows_dropped"), 0u);
}

// No collector needed: the settings are checked when they are loaded.
TEST(ForwardSettingsEndToEndTest,
     MalformedSettingsAreReportedAndLoggingGoesOn) {
  ApplianceTree tree;
  tree.write_config(
      tree.default_config_body() +
      "<forwardconf enable=\"true\"><target><host>127.0.0.1</host>"
      "<port>1514</port><protocol>udp</protocol></target></forwardconf>");
  Daemon daemon(tree);
  ASSERT_TRUE(daemon.wait_ready());
  ASSERT_EQ(run_client(tree, {"--system", "1796635815", "a", "b", "c"}).status,
            0);
  EXPECT_THAT(daemon.err(),
              HasSubstr("Error: forwardconf: unknown protocol \"udp\""));
  tree.write_config(
      tree.default_config_body() +
      "<forwardconf enable=\"true\"><target><host>127.0.0.1</host>"
      "<port>70000</port></target></forwardconf>");
  daemon.signal(SIGHUP);
  ASSERT_EQ(run_client(tree, {"--system", "1796635815", "d", "e", "f"}).status,
            0);
  EXPECT_THAT(
      daemon.err(),
      HasSubstr("Error: forwardconf: port \"70000\" is not in 1-65535"));
  EXPECT_EQ(csv_rows(tree, "systemlog").size(), 2u);
  const auto counters = daemon.counters();
  EXPECT_EQ(counters.at("forward_spool_bytes"), 0u);
  EXPECT_EQ(counters.at("forward_spool_failures"), 0u);
  // Forwarding off from the start: no spool was made.
  EXPECT_TRUE(list_files(tree.state_dir() + "/forward").empty());
}

}  // namespace
}  // namespace quillo_test
