// Threshold conditions through the real daemon: counting per key, the
// firing's batch and response, the hold and its follow-up batch, the
// rename test, a hung response, the key bound and a reload.

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/e2e_support.h"

namespace quillo_test {
namespace {

using ::testing::AllOf;
using ::testing::EndsWith;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using Clock = std::chrono::steady_clock;

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, sep);) parts.push_back(part);
  return parts;
}

// Polls `done` every 20 ms for at most `bound`.
template <typename Done>
bool wait_until(Done done, std::chrono::milliseconds bound) {
  const auto until = Clock::now() + bound;
  while (!done()) {
    if (Clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// An alert element matching every user's `operation` at any time, with
// `more` inside (a threshold, a path pattern, a response...).
std::string condition(const std::string& name, const std::string& operation,
                      const std::string& more) {
  return "<alert><name>" + name + "</name><usernamelist all=\"true\"/>" +
         more +
         "<period><weekdays sun=\"true\" mon=\"true\" tue=\"true\" "
         "wed=\"true\" thu=\"true\" fri=\"true\" sat=\"true\"/></period>"
         "<operationlist><operation type=\"" +
         operation + "\" enable=\"true\"/></operationlist></alert>";
}

std::string threshold(int count, int seconds, const std::string& per) {
  return "<threshold><count>" + std::to_string(count) + "</count><seconds>" +
         std::to_string(seconds) + "</seconds><per>" + per +
         "</per></threshold>";
}

// One condition per scenario; the tests below pick theirs by operation.
class ThresholdE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The scripts of the notices append each request to one file.
    for (const char* s :
         {"vek_eventlog.py", "vek_buzzer.py", "vek_mailsend.py"}) {
      const std::string path = tree_.path(std::string("mnt/data/bin/") + s);
      write_file(path, "#!/bin/sh\n{ printf '%s ' " + std::string(s) +
                           "; cat; echo; } >> '" + tree_.path("requests.log") +
                           "'\necho '<answer><entrylist><entry "
                           "result=\"0\"/></entrylist></answer>'\n");
      chmod(path.c_str(), 0755);
    }
    write_file(tree_.path("mnt/data/xmlconf/config-notice.xml"),
               "<config><mailnotice><mailconflist>"
               "<mailconf enable=\"true\"><notifylist>"
               "<notify name=\"system\" enable=\"true\"/></notifylist>"
               "<toaddrlist><toaddr>a@example.com</toaddr></toaddrlist>"
               "</mailconf></mailconflist></mailnotice></config>");
    // The response records its arguments, environment and input, one file
    // each per call, named by condition and key.
    mkdir(tree_.path("resp").c_str(), 0755);
    mkdir(tree_.path("calls").c_str(), 0755);
    write_file(respond_,
               "#!/bin/sh\n"
               "f='" + tree_.path("calls") + "'/\"$1.$3\"\n"
               "printf '%s|' \"$@\" > \"$f.argv.tmp\"\n"
               "printf '%s|%s|%s|%s|%s|%s|%s' \"$QUILLO_ALERT\" \"$QUILLO_PER\""
               " \"$QUILLO_KEY\" \"$QUILLO_USER\" \"$QUILLO_HOST\""
               " \"$QUILLO_IP\" \"$QUILLO_SHARE\" > \"$f.env\"\n"
               "cat > \"$f.stdin\"\n"
               "echo \"$1\" >> '" + tree_.path("calls.log") + "'\n"
               "mv \"$f.argv.tmp\" \"$f.argv\"\n");
    write_file(hang_, "#!/bin/sh\nexec sleep 60\n");
    chmod(respond_.c_str(), 0755);
    chmod(hang_.c_str(), 0755);
    write_config(3);
    ASSERT_TRUE(daemon_.wait_ready());
  }

  // A sanitizer build's daemon reports what it found on standard error.
  void TearDown() override {
    EXPECT_THAT(daemon_.err(), Not(HasSubstr("Sanitizer")));
  }

  // `ransom_count`: the count of the rename condition, the one a reload
  // changes.
  void write_config(int ransom_count) {
    const std::string respond = "<response><script>" + respond_ +
                                "</script></response>";
    tree_.write_config(
        tree_.default_config_body() + "<alertlist>" +
        condition("mass-delete", "delete", threshold(200, 60, "user") +
                                               respond) +
        condition("denied-burst", "open_write",
                  "<result>fail</result>" + threshold(20, 60, "ip") + respond) +
        condition("canary", "open_read",
                  "<path>bait/*</path>" + threshold(1, 60, "user") + respond) +
        condition("ransom", "rename",
                  threshold(ransom_count, 60, "user") +
                      "<extchange enable=\"true\"/>" + respond) +
        condition("burst", "mkdir", threshold(10, 2, "user") + respond) +
        condition("hung", "rmdir",
                  threshold(1, 60, "all") + "<response><script>" + hang_ +
                      "</script><timeout>3</timeout></response>") +
        condition("wide", "open", threshold(5, 60, "user")) + "</alertlist>");
  }

  // One access record over its own connection; true when it was stored.
  bool send(const std::string& user, const std::string& op,
            const std::string& path, bool ok = true,
            const std::string& ip = "10.0.0.5") {
    RawClient client(tree_);
    client.send(access_frame(user.c_str(), "pc1", ip.c_str(), op.c_str(),
                             ok ? 1 : 0, ok ? 0 : 13, "docs", path.c_str()));
    client.shutdown_write();
    return client.read_until_close() == kAcceptedAnswer;
  }
  void send_many(int n, const std::string& user, const std::string& op,
                 const std::string& path) {
    for (int i = 0; i < n; ++i) {
      ASSERT_TRUE(send(user, op, path + std::to_string(i)));
    }
  }

  std::uint64_t counter(const std::string& name) {
    return daemon_.counters()[name];
  }
  std::string call_file(const std::string& name, const std::string& key,
                        const std::string& what) {
    return read_file(tree_.path("calls/" + name + "." + key + "." + what));
  }
  // Waits for the response of `name` for `key` and gives its arguments.
  std::string wait_call(const std::string& name, const std::string& key) {
    std::string argv;
    wait_until([&] { return !(argv = call_file(name, key, "argv")).empty(); },
               std::chrono::seconds(10));
    return argv;
  }

  // The number of rows of each alert batch of `name` in the event log, in
  // the order the batches went out.
  std::vector<int> batch_numbers(const std::string& name) {
    std::vector<int> numbers;
    const std::string mark = "<code>71100010</code><arglist><arg name=\"name\">" +
                             name + "</arg><arg name=\"number\">";
    const std::string log = read_file(tree_.path("requests.log"));
    for (std::size_t at = log.find(mark); at != std::string::npos;
         at = log.find(mark, at + 1)) {
      numbers.push_back(std::stoi(log.substr(at + mark.size())));
    }
    return numbers;
  }
  // The alert log's rows whose user column is `user`.
  std::vector<std::string> alert_rows_of(const std::string& user) {
    std::vector<std::string> rows;
    for (const std::string& row : csv_rows(tree_, "alertlog")) {
      if (row.find("," + user + ",") != std::string::npos) {
        rows.push_back(row);
      }
    }
    return rows;
  }

  ApplianceTree tree_;
  const std::string respond_ = tree_.path("resp/respond.sh");
  const std::string hang_ = tree_.path("resp/hang.sh");
  Daemon daemon_{tree_};
};

TEST_F(ThresholdE2eTest, FiresOnceAtTheCountOfOneUserWithTheScriptCall) {
  send_many(199, "bob", "delete", "old/f");
  // Two other users below the count, in between.
  send_many(150, "alice", "delete", "a/f");
  send_many(150, "carol", "delete", "c/f");
  EXPECT_EQ(counter("threshold_fired"), 0u);
  EXPECT_TRUE(batch_numbers("mass-delete").empty());

  ASSERT_TRUE(send("bob", "delete", "old/last"));
  EXPECT_EQ(wait_call("mass-delete", "bob"), "mass-delete|user|bob|200|60|");
  EXPECT_EQ(call_file("mass-delete", "bob", "env"),
            "mass-delete|user|bob|bob|pc1|10.0.0.5|docs");
  // The batch's rows as the alert log holds them.
  const std::vector<std::string> bobs = alert_rows_of("bob");
  ASSERT_EQ(bobs.size(), 200u);
  EXPECT_EQ(split(call_file("mass-delete", "bob", "stdin"), '\n'), bobs);
  ASSERT_TRUE(wait_until([&] { return !batch_numbers("mass-delete").empty(); },
                         std::chrono::seconds(10)));
  EXPECT_THAT(batch_numbers("mass-delete"), ElementsAre(200));
  ASSERT_TRUE(wait_until(
      [&] {
        return read_file(tree_.path("requests.log"))
                   .find("user bob: 200 accesses in 60 s") != std::string::npos;
      },
      std::chrono::seconds(10)));

  // Held: more of bob's deletes run nothing more.
  send_many(5, "bob", "delete", "more/f");
  EXPECT_EQ(counter("threshold_fired"), 1u);
  EXPECT_EQ(counter("responses_run"), 1u);
  EXPECT_EQ(counter("responses_failed"), 0u);
  EXPECT_EQ(read_file(tree_.path("calls.log")), "mass-delete\n");
}

TEST_F(ThresholdE2eTest, OtherKeysTheCanaryAndRenamesThatChangeExtensions) {
  // Twenty denied writes from one address, by twenty users.
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(send("u" + std::to_string(i), "open", "w|x", false, "10.0.0.9"));
  }
  EXPECT_EQ(wait_call("denied-burst", "10.0.0.9"),
            "denied-burst|ip|10.0.0.9|20|60|");
  EXPECT_EQ(call_file("denied-burst", "10.0.0.9", "env"),
            "denied-burst|ip|10.0.0.9|u19|pc1|10.0.0.9|docs");

  // The bait's first touch fires; a read elsewhere does not.
  ASSERT_TRUE(send("eve", "open", "r|notes/a.txt"));
  ASSERT_TRUE(send("eve", "open", "r|bait/salary.xlsx"));
  EXPECT_EQ(wait_call("canary", "eve"), "canary|user|eve|1|60|");
  EXPECT_THAT(call_file("canary", "eve", "stdin"),
              AllOf(HasSubstr("bait/salary.xlsx"), Not(HasSubstr("notes"))));

  // Only renames to another extension count.
  ASSERT_TRUE(send("mal", "rename", "plan.docx -> plan.docx.lockbit"));
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(send("mal", "rename", "a.txt -> b" + std::to_string(i) + ".TXT"));
  }
  ASSERT_TRUE(send("mal", "rename", "img.JPG -> img.jpg"));
  ASSERT_TRUE(send("mal", "rename", "x/a.txt -> x/a.enc"));
  EXPECT_EQ(counter("threshold_fired"), 2u);
  ASSERT_TRUE(send("mal", "rename", "b.pdf -> b"));
  EXPECT_EQ(wait_call("ransom", "mal"), "ransom|user|mal|3|60|");
  const std::vector<std::string> input =
      split(call_file("ransom", "mal", "stdin"), '\n');
  ASSERT_EQ(input.size(), 3u);
  EXPECT_THAT(input[0], HasSubstr("plan.docx -> plan.docx.lockbit"));
  EXPECT_THAT(input[1], HasSubstr("x/a.txt -> x/a.enc"));
  EXPECT_THAT(input[2], EndsWith(",b.pdf -> b"));
  EXPECT_EQ(counter("threshold_fired"), 3u);
}

TEST_F(ThresholdE2eTest, FollowUpBatchesCarryEveryRowOfTheirHold) {
  // One user makes a folder every 20 ms for 5 s: count 10 in 2 s fires,
  // the 2 s hold takes about 100 rows, then the count starts again.
  const int sent = 250;
  for (int i = 0; i < sent; ++i) {
    ASSERT_TRUE(send("zed", "mkdir", "d" + std::to_string(i)));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const std::uint64_t fired = counter("threshold_fired");
  ASSERT_GE(fired, 2u);
  // Every hold has ended 2 s after the last row; its batch follows.
  ASSERT_TRUE(wait_until(
      [&] { return batch_numbers("burst").size() >= 2 * fired - 1; },
      std::chrono::seconds(10)));
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  const std::vector<int> numbers = batch_numbers("burst");
  int in_batches = 0;
  for (int n : numbers) in_batches += n;
  // Each firing lists its 10 rows and its hold's batch every row of the
  // hold; only the rows after the last hold that stayed below the count
  // are in no batch.
  EXPECT_LE(in_batches, sent);
  EXPECT_GE(in_batches, sent - 9);
  EXPECT_GE(numbers.size(), 2 * fired - 1);
  EXPECT_LE(numbers.size(), 2 * fired);
  EXPECT_EQ(counter("responses_run"), fired);
  const std::string log = read_file(tree_.path("requests.log"));
  EXPECT_THAT(log, HasSubstr("user zed: 10 accesses in 2 s"));
  EXPECT_THAT(log, HasSubstr("more accesses in the 2 s after the alert"));
}

TEST_F(ThresholdE2eTest, HungResponseIsKilledAtItsTimeoutWhileIntakeGoesOn) {
  ASSERT_TRUE(send("bob", "rmdir", "gone"));
  // The script sleeps; the daemon takes records meanwhile.
  for (int i = 0; i < 50; ++i) {
    ASSERT_TRUE(send("bob", "open", "r|f" + std::to_string(i)));
  }
  EXPECT_EQ(counter("responses_failed"), 0u);
  EXPECT_EQ(counter("rows_written_access"), 51u);
  const std::string killed =
      "Error: response " + hang_ + " of alert hung for all: killed after 3 s";
  ASSERT_TRUE(wait_until(
      [&] { return daemon_.err().find(killed) != std::string::npos; },
      std::chrono::seconds(20)))
      << daemon_.err();
  EXPECT_EQ(counter("responses_failed"), 1u);
  EXPECT_EQ(counter("responses_run"), 1u);
}

TEST_F(ThresholdE2eTest, KeysPastTheBoundAreEvictedAndCounted) {
  // Each of 10,050 users opens once: one key each, 50 too many.
  for (int i = 0; i < 10050; ++i) {
    ASSERT_TRUE(send("user" + std::to_string(i), "open", "f"));
  }
  EXPECT_EQ(counter("threshold_keys_evicted"), 50u);
  EXPECT_EQ(counter("threshold_fired"), 0u);
  // The newest keys are still counted: four more opens fire for one.
  send_many(4, "user10049", "open", "g");
  EXPECT_EQ(counter("threshold_fired"), 1u);
}

TEST_F(ThresholdE2eTest, ReloadKeepsTheCountsOfUnchangedConditions) {
  send_many(150, "dave", "delete", "f");
  ASSERT_TRUE(send("mal", "rename", "a.txt -> a.enc"));
  ASSERT_TRUE(send("mal", "rename", "b.txt -> b.enc"));
  // The same document again, but for the rename condition's count.
  write_config(4);
  daemon_.signal(SIGHUP);
  ASSERT_TRUE(send("mal", "rename", "c.txt -> c.enc"));
  ASSERT_TRUE(send("mal", "rename", "d.txt -> d.enc"));
  ASSERT_TRUE(send("mal", "rename", "e.txt -> e.enc"));
  // The changed condition started afresh: three of four.
  EXPECT_EQ(counter("threshold_fired"), 0u);
  send_many(50, "dave", "delete", "g");
  EXPECT_EQ(wait_call("mass-delete", "dave"), "mass-delete|user|dave|200|60|");
  ASSERT_TRUE(send("mal", "rename", "f.txt -> f.enc"));
  EXPECT_EQ(wait_call("ransom", "mal"), "ransom|user|mal|4|60|");
  EXPECT_THAT(daemon_.out(), HasSubstr("Reload config"));
}

}  // namespace
}  // namespace quillo_test
