// The counters an operator reads with SIGUSR1, after a known sequence of
// requests.

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/e2e_support.h"

namespace quillo_test {
namespace {

using ::testing::HasSubstr;

TEST(CountersTest, SignalWritesTheCountsOfAKnownSequence) {
  ApplianceTree tree;
  tree.write_config("<share><path>" + tree.log_root() +
                    "</path></share>"
                    "<eventlogconf enable=\"true\"><autodelete/></eventlogconf>"
                    "<accesslogconf enable=\"true\"><sharelist>"
                    "<share><name>docs</name></share></sharelist><autodelete/>"
                    "</accesslogconf>");
  Daemon daemon(tree);
  // The readiness probe is an empty connection: one malformed request.
  ASSERT_TRUE(daemon.wait_ready());

  auto access = [&](const char* share) {
    return run_client(tree, {"--access", "u", "h", "i", "open", "1", "0", share,
                             "r|f"})
        .status;
  };
  auto system = [&]() {
    return run_client(tree, {"--system", "1796635815", "a", "b", "c"}).status;
  };
  EXPECT_EQ(system(), 0);
  EXPECT_EQ(access("docs"), 0);
  EXPECT_EQ(access("media"), 0);  // filtered
  EXPECT_EQ(access("IPC$"), 0);   // filtered
  {
    RawClient c(tree);
    c.send({0, 4, 0, 2, 0, 7});
    EXPECT_EQ(c.read_until_close(), kAcceptedAnswer);
  }
  {
    RawClient c(tree);
    c.send({0, 3, 0, 2, 0});
    c.shutdown_write();
    EXPECT_TRUE(c.read_until_close().empty());
  }
  // With the log root gone, the system row waits in the queue and the
  // access row is answered "not stored".
  ASSERT_EQ(system(), 0);  // the same month: no new file
  ASSERT_EQ(std::system(("rm -rf '" + tree.log_root() + "'").c_str()), 0);
  EXPECT_EQ(system(), 0);
  EXPECT_EQ(access("docs"), 6);

  const std::string stats = tree.state_dir() + "/quillod.stats";
  daemon.signal(SIGUSR1);
  std::string content;
  for (int i = 0; i < 2000 && content.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    content = read_file(stats);
  }
  const std::string expected =
      "requests_system 3\n"
      "requests_access 4\n"
      "requests_other_type 1\n"
      "requests_malformed 2\n"
      "rows_written_system 2\n"
      "rows_written_access 1\n"
      "rows_written_alert 0\n"
      "rows_dropped_disabled 0\n"
      "rows_dropped_filtered 2\n"
      "write_failures 2\n"
      "system_queue_rows 1\n"
      "files_deleted 0\n"
      "alert_matches 0\n"
      "alert_batches 0\n"
      "mail_addresses_sent 0\n"
      "mail_addresses_failed 0\n"
      "script_failures 0\n"
      "access_rows_not_stored 1\n"
      "system_queue_dropped 0\n"
      "unsafe_entries 0\n"
      "alert_rows_dropped 0\n"
      "alert_batches_kept 0\n"
      "notice_lock_busy 0\n"
      "script_answers_cut 0\n"
      // Forwarding is off in this configuration.
      "forward_rows_sent 0\n"
      "forward_spool_bytes 0\n"
      "forward_rows_dropped 0\n"
      "forward_reconnects 0\n"
      "forward_spool_failures 0\n"
      "forward_rows_confirmed 0\n"
      "forward_rows_resent 0\n"
      "forward_window_waits 0\n"
      "forward_tls_failures 0\n"
      "threshold_fired 0\n"
      "threshold_keys_evicted 0\n"
      "responses_run 0\n"
      "responses_failed 0\n"
      "sessions_opened 0\n"
      "session_frames 0\n"
      "seal_records 0\n"
      "seal_failures 0\n";
  EXPECT_EQ(content, expected);
  // The daemon is still serving, and printed the same lines.
  EXPECT_EQ(system(), 0);
  EXPECT_THAT(daemon.out(), HasSubstr(expected));
}

}  // namespace
}  // namespace quillo_test
