// One access matching an alert condition, through the real daemon, its
// quiet period and notification scripts written by the test.
//
// Built twice, as two suites: with QUILLO_TEST_ALERT_QUIET seconds (the
// daemon's QUILLO_ALERT_QUIET) for every build, and with 0, which leaves
// the daemon's real minute in force (60 to 120 s; normal build only).

#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/e2e_support.h"

namespace quillo_test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// Each script appends its name and the request it read to one file, so
// the order of the requests across scripts shows.
void install_script(const ApplianceTree& tree, const std::string& name) {
  const std::string path = tree.path("mnt/data/bin/" + name);
  write_file(path,
             "#!/bin/sh\n"
             "{ printf '%s ' " +
                 name + "; cat; echo; } >> '" + tree.path("requests.log") +
                 "'\n"
                 "echo '<answer><entrylist><entry "
                 "result=\"0\"/></entrylist></answer>'\n");
  chmod(path.c_str(), 0755);
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find("\nvek_", start)) != std::string::npos;
       start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  if (!lines.empty() && !lines.back().empty() && lines.back().back() == '\n') {
    lines.back().pop_back();
  }
  return lines;
}

constexpr int kQuietSeconds = QUILLO_TEST_ALERT_QUIET;

TEST(QUILLO_TEST_ALERT_SUITE, MatchIsLoggedAndNotifiedAfterTheQuietPeriod) {
  // Inherited by the daemon.
  if (kQuietSeconds > 0) {
    setenv("QUILLO_ALERT_QUIET", std::to_string(kQuietSeconds).c_str(), 1);
  } else {
    unsetenv("QUILLO_ALERT_QUIET");
  }
  const int quiet = kQuietSeconds > 0 ? kQuietSeconds : 60;
  ApplianceTree tree;
  for (const char* s :
       {"vek_eventlog.py", "vek_buzzer.py", "vek_mailsend.py"}) {
    install_script(tree, s);
  }
  write_file(tree.path("mnt/data/xmlconf/config-notice.xml"),
             "<config><mailnotice><mailconflist>"
             "<mailconf enable=\"true\"><notifylist>"
             "<notify name=\"system\" enable=\"true\"/></notifylist>"
             "<toaddrlist><toaddr>a@example.com</toaddr>"
             "<toaddr>b@example.com</toaddr></toaddrlist></mailconf>"
             "</mailconflist></mailnotice></config>");
  tree.write_config(
      tree.default_config_body() +
      "<alertlist><alert><name>watch1</name><usernamelist all=\"true\"/>"
      "<sharename>docs</sharename>"
      "<period><weekdays sun=\"true\" mon=\"true\" tue=\"true\" wed=\"true\" "
      "thu=\"true\" fri=\"true\" sat=\"true\"/></period>"
      "<operationlist><operation type=\"open_read\" enable=\"true\"/>"
      "</operationlist></alert></alertlist>");
  Daemon daemon(tree);
  ASSERT_TRUE(daemon.wait_ready());
  ASSERT_EQ(run_client(tree, {"--access", "bob", "pc1", "10.0.0.5", "open", "1",
                              "0", "docs", "r|a.txt"})
                .status,
            0);

  std::vector<std::string> files = list_files(tree.log_root());
  ASSERT_EQ(files.size(), 2u);
  ASSERT_EQ(files[0].substr(0, 10), "accesslog/");
  ASSERT_EQ(files[1].substr(0, 9), "alertlog/");
  const std::string access = read_file(tree.log_root() + "/" + files[0]);
  EXPECT_EQ(read_file(tree.log_root() + "/" + files[1]), access);
  const std::string row = access.substr(3, access.size() - 5);  // BOM, CR LF

  // The notices come one to about two quiet periods after the match.
  const auto until =
      std::chrono::steady_clock::now() + std::chrono::seconds(2 * quiet + 80);
  std::string requests;
  while (std::chrono::steady_clock::now() < until) {
    requests = read_file(tree.path("requests.log"));
    if (lines_of(requests).size() >= 5) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  const std::string head = "<request><entrylist>";
  const std::string tail = "</entrylist></request>";
  EXPECT_THAT(
      lines_of(requests),
      ElementsAre(
          "vek_eventlog.py " + head +
              "<entry type=\"add\"><eventlog><log><code>71100010</code>"
              "<arglist><arg name=\"name\">watch1</arg><arg name=\"number\">1"
              "</arg></arglist></log></eventlog></entry>" +
              tail,
          "vek_buzzer.py " + head +
              "<entry type=\"play\"><buzzer><melody type=\"error\"/></buzzer>"
              "</entry>" +
              tail,
          "vek_mailsend.py " + head +
              "<entry type=\"send\"><mailsend><mailconf profilenum=\"0\"/>"
              "<message><header><subject>\xE3\x82\xAF\xE3\x82\xA4\xE3\x83\xAD "
              "\xE3\x82\xA2\xE3\x83\xA9\xE3\x83\xBC\xE3\x83\x88 - "
              "\xE6\x9D\xA1\xE4\xBB\xB6\xE5\x90\x8D:watch1</subject></header>"
              "<body>\xE3\x82\xA2\xE3\x83\xA9\xE3\x83\xBC\xE3\x83\x88\xE6\x9D"
              "\xA1\xE4\xBB\xB6 watch1: \xE3\x82\xA2\xE3\x82\xAF\xE3\x82\xBB"
              "\xE3\x82\xB9\xE3\x82\x92"
              "1\xE4\xBB\xB6\xE6\xA4\x9C\xE5\x87\xBA"
              "\xE3\x81\x97\xE3\x81\xBE\xE3\x81\x97\xE3\x81\x9F\xE3\x80\x82"
              "\n\n" +
              row + "\n</body></message></mailsend></entry>" + tail,
          "vek_eventlog.py " + head +
              "<entry type=\"add\"><eventlog><log><code>71000010</code>"
              "<arglist><arg name=\"mail_address\">a@example.com</arg>"
              "<arg name=\"name\">watch1</arg></arglist></log></eventlog>"
              "</entry>" +
              tail,
          "vek_eventlog.py " + head +
              "<entry type=\"add\"><eventlog><log><code>71000010</code>"
              "<arglist><arg name=\"mail_address\">b@example.com</arg>"
              "<arg name=\"name\">watch1</arg></arglist></log></eventlog>"
              "</entry>" +
              tail));
  EXPECT_THAT(daemon.out(), HasSubstr("alert_thread: try send mail\n"));
}

}  // namespace
}  // namespace quillo_test
