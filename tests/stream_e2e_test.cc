// quillo-send --stream against the real daemon: rsyslog omprog's
// confirmation protocol with the daemon up, down and answering "not
// stored", a record too long for one body, logged shortened, and a system
// record whose time no fit can make room for, refused by the client.

#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/e2e_support.h"

namespace quillo_test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

const std::string kAudit =
    "2026-12-08T10:00:00+00:00 nas smbd_audit: alice|pc07|10.0.0.7|docs|"
    "/srv/docs|";

TEST(StreamTest, ConfirmsEachLineOnceTheDaemonTookIt) {
  ApplianceTree tree;
  Daemon daemon(tree);
  ASSERT_TRUE(daemon.wait_ready());
  const RunResult r = run_client(
      tree, {"--stream", "--format=samba-audit", "--confirm"},
      kAudit + "openat|ok|r|/srv/docs/q3/a, b.txt\n" +  //
          kAudit + "connect|ok|docs\n" +                // skipped
          "no tag here\n" +                             // unparseable
          kAudit + "unlinkat|fail (Permission denied)|/srv/docs/c.txt\n");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "OK\nOK\nOK\nOK\nOK\n");
  EXPECT_THAT(r.err, HasSubstr("line 2 skipped"));
  EXPECT_THAT(r.err, HasSubstr("line 3 unparseable"));
  const std::vector<std::string> files = list_files(tree.log_root());
  ASSERT_EQ(files.size(), 1u);
  const std::string log = read_file(tree.log_root() + "/" + files[0]);
  EXPECT_THAT(log, HasSubstr(",alice,pc07,10.0.0.7,open_read,ok,docs,"
                             "q3/a, b.txt\r\n"));
  EXPECT_THAT(log, HasSubstr(",delete,fail (Permission denied),docs,c.txt"));
}

TEST(StreamTest, LinesNotTakenAreAnsweredWithAnError) {
  ApplianceTree tree;
  const std::string access =
      "access\tbob\tpc1\t10.0.0.1\topen\t1\t0\tdocs\tr|a.txt\n";
  // No daemon: rsyslog is to keep the message and send it again.
  RunResult r = run_client(tree, {"--stream", "--confirm"}, access);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "OK\nError: no connection to quillod\n");
  EXPECT_THAT(r.err, HasSubstr("1 records not taken"));

  Daemon daemon(tree);
  ASSERT_TRUE(daemon.wait_ready());
  ASSERT_EQ(std::system(("rm -rf '" + tree.log_root() + "'").c_str()), 0);
  r = run_client(tree, {"--stream", "--confirm"},
                 access + "system\t1700000000\tqueued\t\t\n");
  EXPECT_EQ(r.status, 2);
  // The access row cannot be stored; the system row waits in memory.
  EXPECT_EQ(r.out, "OK\nError: record not stored\nOK\n");
  // Without --confirm nothing is written to standard output.
  r = run_client(tree, {"--stream"}, access);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
}

TEST(StreamTest, RecordTooLongForOneBodyIsLoggedShortened) {
  ApplianceTree tree;
  Daemon daemon(tree);
  ASSERT_TRUE(daemon.wait_ready());
  const std::string path = "r|" + std::string(6000, 'p') + "/end.txt";
  const RunResult r = run_client(
      tree, {"--stream"},
      "access\tbob\tpc1\t10.0.0.1\topen\t1\t0\tdocs\t" + path + "\n" +
          "system\t1700000000\t" + std::string(5000, 't') + "\tb\tc\n");
  EXPECT_EQ(r.status, 0) << r.err;
  std::string logs;
  for (const std::string& f : list_files(tree.log_root())) {
    logs += read_file(tree.log_root() + "/" + f);
  }
  EXPECT_THAT(logs, HasSubstr(",docs," + std::string(100, 'p')));
  EXPECT_THAT(logs, HasSubstr("ppp...\r\n"));
  EXPECT_THAT(logs, HasSubstr("ttt...,b,c\r\n"));
}

// A TIME of 4,081 digits leaves no room for the three texts' framing, and
// a time is never cut: the record cannot be sent whole in either form.
struct LongTimeCase {
  const char* name;
  std::vector<std::string> args;
  std::string input;
  int status;
  std::string out;
  std::vector<std::string> rows;  // the system rows logged
};

void PrintTo(const LongTimeCase& c, std::ostream* os) { *os << c.name; }

const std::string kLongTime(4081, '7');

class LongTimeTest : public ::testing::TestWithParam<LongTimeCase> {};

TEST_P(LongTimeTest, IsRefusedByTheClientAndNeverSentInPart) {
  setenv("TZ", "UTC", 1);
  ApplianceTree tree;
  Daemon daemon(tree);
  ASSERT_TRUE(daemon.wait_ready());
  const RunResult r = run_client(tree, GetParam().args, GetParam().input);
  EXPECT_EQ(r.status, GetParam().status) << r.err;
  EXPECT_EQ(r.out, GetParam().out);
  EXPECT_THAT(r.err, HasSubstr("TIME longer than 64 bytes"));
  EXPECT_EQ(csv_rows(tree, "systemlog"), GetParam().rows);
  EXPECT_THAT(daemon.err(), Not(HasSubstr("Malformed request")));
}

INSTANTIATE_TEST_SUITE_P(
    Forms, LongTimeTest,
    ::testing::Values(
        LongTimeCase{
            "CommandLine", {"--system", kLongTime, "", "", ""}, "", 1, "", {}},
        // Confirmed, as a line that can never succeed: rsyslog must not
        // offer it again for ever.
        LongTimeCase{"StreamWithConfirm",
                     {"--stream", "--confirm"},
                     "system\t" + kLongTime + "\t\t\t\n" +
                         "system\t1700000000\tafter\t\t\n",
                     0,
                     "OK\nOK\nOK\n",
                     {"2023/11/14 22:13:20,after,,"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillo_test
