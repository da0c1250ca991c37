// A notification script that hangs: the daemon bounds every script run by
// QUILLO_SCRIPT_TIMEOUT seconds (read at start-up), so a hung event-log
// script costs one notice and the alert thread goes on with the buzzer and
// the mail. The quiet period is shortened to 2 s (QUILLO_ALERT_QUIET).

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/e2e_support.h"

namespace quillo_test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr char kAnswer[] =
    "echo '<answer><entrylist><entry result=\"0\"/></entrylist></answer>'\n";

// A script that appends its name and request to requests.log and answers
// success.
std::string recording_script(const ApplianceTree& tree,
                             const std::string& name) {
  return "{ printf '%s ' " + name + "; cat; echo; } >> '" +
         tree.path("requests.log") + "'\n" + kAnswer;
}

void install(const ApplianceTree& tree, const std::string& name,
             const std::string& body) {
  const std::string path = tree.path("mnt/data/bin/" + name);
  write_file(path, "#!/bin/sh\n" + body);
  chmod(path.c_str(), 0755);
}

TEST(HungScriptEndToEndTest, AlertThreadGoesOnAfterTheScriptTimeBound) {
  ApplianceTree tree;
  const std::string marker = tree.path("eventlog-hung");
  // The first event-log request hangs far beyond the bound; later ones
  // answer normally.
  install(tree, "vek_eventlog.py",
          "if [ ! -e '" + marker + "' ]; then : > '" + marker +
              "'; sleep 600; fi\n" + recording_script(tree, "vek_eventlog.py"));
  install(tree, "vek_buzzer.py", recording_script(tree, "vek_buzzer.py"));
  install(tree, "vek_mailsend.py", recording_script(tree, "vek_mailsend.py"));
  write_file(tree.path("mnt/data/xmlconf/config-notice.xml"),
             "<config><mailnotice><mailconflist>"
             "<mailconf enable=\"true\"><notifylist>"
             "<notify name=\"system\" enable=\"true\"/></notifylist>"
             "<toaddrlist><toaddr>a@example.com</toaddr></toaddrlist>"
             "</mailconf></mailconflist></mailnotice></config>");
  tree.write_config(
      tree.default_config_body() +
      "<alertlist><alert><name>watch1</name><usernamelist all=\"true\"/>"
      "<period><weekdays sun=\"true\" mon=\"true\" tue=\"true\" wed=\"true\" "
      "thu=\"true\" fri=\"true\" sat=\"true\"/></period>"
      "<operationlist><operation type=\"open_read\" enable=\"true\"/>"
      "</operationlist></alert></alertlist>");
  setenv("QUILLO_SCRIPT_TIMEOUT", "2", 1);  // inherited by the daemon
  setenv("QUILLO_ALERT_QUIET", "2", 1);
  Daemon daemon(tree);
  ASSERT_TRUE(daemon.wait_ready());
  ASSERT_EQ(run_client(tree, {"--access", "bob", "pc1", "10.0.0.5", "open", "1",
                              "0", "docs", "r|a.txt"})
                .status,
            0);

  // The notices come after the quiet period (2 to 4 s); the hung script
  // costs 2 s more. A bound of 300 s or none would miss this wait.
  const auto until =
      std::chrono::steady_clock::now() + std::chrono::seconds(120);
  std::string requests;
  while (std::chrono::steady_clock::now() < until) {
    requests = read_file(tree.path("requests.log"));
    if (requests.find("71000010") != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  EXPECT_EQ(access(marker.c_str(), F_OK), 0) << "the hanging script never ran";
  // The hung request left no record; everything after it went out.
  EXPECT_THAT(requests, Not(HasSubstr("71100010")));
  EXPECT_THAT(requests, HasSubstr("vek_buzzer.py <request>"));
  EXPECT_THAT(requests, HasSubstr("vek_mailsend.py <request>"));
  EXPECT_THAT(requests, HasSubstr("<code>71000010</code>"));
  EXPECT_THAT(requests, HasSubstr("a@example.com"));
  // The daemon still serves records after the hang.
  EXPECT_EQ(
      run_client(tree, {"--system", "1700000000", "after", "b", "c"}).status,
      0);
}

}  // namespace
}  // namespace quillo_test
