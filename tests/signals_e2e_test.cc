// Hang-up and counter signals in a storm while the alert thread raises
// notices: the handlers run on the main thread only (the alert thread
// blocks them), so the daemon goes on serving and, in the ThreadSanitizer
// build, reports no race.

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/e2e_support.h"

namespace quillo_test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

void install_script(const ApplianceTree& tree, const std::string& name) {
  const std::string path = tree.path("mnt/data/bin/" + name);
  write_file(path, "#!/bin/sh\n{ printf '%s ' " + name + "; cat; echo; } >> '" +
                       tree.path("requests.log") +
                       "'\necho '<a><entrylist><entry result=\"0\"/>"
                       "</entrylist></a>'\n");
  chmod(path.c_str(), 0755);
}

TEST(SignalStormTest, HangUpAndCountersWhileAlertsAreRaised) {
  setenv("QUILLO_ALERT_QUIET", "1", 1);  // inherited by the daemon
  ApplianceTree tree;
  for (const char* s :
       {"vek_eventlog.py", "vek_buzzer.py", "vek_mailsend.py"}) {
    install_script(tree, s);
  }
  write_file(tree.path("mnt/data/xmlconf/config-notice.xml"),
             "<config><mailnotice><mailconflist><mailconf enable=\"true\">"
             "<notifylist><notify name=\"system\" enable=\"true\"/>"
             "</notifylist><toaddrlist><toaddr>a@example.com</toaddr>"
             "</toaddrlist></mailconf></mailconflist></mailnotice></config>");
  tree.write_config(tree.default_config_body() +
                    ApplianceTree::alert_list("watch", "open_read"));
  Daemon daemon(tree);
  ASSERT_TRUE(daemon.wait_ready());

  std::atomic<bool> stop{false};
  std::thread storm([&] {
    while (!stop.load()) {
      daemon.signal(SIGHUP);
      daemon.signal(SIGUSR1);
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(4);
  int sent = 0;
  while (std::chrono::steady_clock::now() < until) {
    EXPECT_EQ(run_client(tree, {"--access", "bob", "pc1", "10.0.0.5", "open",
                                "1", "0", "docs", "r|a.txt"})
                  .status,
              0);
    ++sent;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  stop = true;
  storm.join();

  // Alerts went out during the storm, and the daemon still serves.
  const auto mailed = [&] {
    return read_file(tree.path("requests.log")).find("vek_mailsend.py") !=
           std::string::npos;
  };
  const auto limit =
      std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!mailed() && std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(mailed());
  EXPECT_EQ(run_client(tree, {"--system", "1", "a", "b", "c"}).status, 0);
  EXPECT_EQ(daemon.counters().at("requests_access"),
            static_cast<std::uint64_t>(sent));
  EXPECT_THAT(daemon.out(), HasSubstr("Reload config"));
  EXPECT_THAT(daemon.err(), Not(HasSubstr("ThreadSanitizer")));
  EXPECT_EQ(daemon.wait_exit(std::chrono::milliseconds(0)), -1);
}

}  // namespace
}  // namespace quillo_test
