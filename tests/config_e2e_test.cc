// Loading and reloading the configuration, seen from outside the daemon.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/e2e_support.h"

namespace quillo_test {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

int count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t p = text.find(what); p != std::string::npos;
       p = text.find(what, p + what.size())) {
    ++n;
  }
  return n;
}

TEST(ConfigStartupTest, MissingFileEndsWithStatusTwo) {
  ApplianceTree tree;
  unlink(tree.config().c_str());
  const RunResult r = run(quillod_path(), {}, tree.root());
  EXPECT_EQ(r.status, 2);
  EXPECT_THAT(r.err, HasSubstr("Error: CDOMXmlDocument::Load: ERROR: "
                               "parse_file() failed. file=" +
                               tree.config() + "\n"));
}

TEST(ConfigStartupTest, MalformedFileEndsWithStatusTwo) {
  ApplianceTree tree;
  write_file(tree.config(), "<config><share>");
  const RunResult r = run(quillod_path(), {}, tree.root());
  EXPECT_EQ(r.status, 2);
  EXPECT_THAT(r.err, HasSubstr("Error: CDOMXmlDocument::Load: ERROR: "
                               "parse_file() failed."));
}

class ReloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(daemon_.wait_ready());
    // The readiness probe has been served once this answer arrives, so a
    // hang-up sent now is taken at the next connection of the test.
    ASSERT_EQ(Send("first"), 0);
  }

  int Send(const char* text) {
    return run_client(tree_, {"--system", "1700000000", text, "b", "c"}).status;
  }

  std::string SystemLog() {
    std::string all;
    for (const std::string& f : list_files(tree_.log_root())) {
      all += read_file(tree_.log_root() + "/" + f);
    }
    return all;
  }

  ApplianceTree tree_;
  Daemon daemon_{tree_};
};

TEST_F(ReloadTest, ChangedSettingTakesEffectAtTheNextConnection) {
  std::string body = tree_.default_config_body();
  body.replace(body.find("<eventlogconf enable=\"true\">"),
               std::string("<eventlogconf enable=\"true\">").size(),
               "<eventlogconf enable=\"false\">");
  tree_.write_config(body);
  // Without a hang-up the old setting stays.
  ASSERT_EQ(Send("before-hup"), 0);
  daemon_.signal(SIGHUP);
  ASSERT_EQ(Send("after-hup"), 0);
  EXPECT_THAT(SystemLog(), HasSubstr(",before-hup,"));
  EXPECT_THAT(SystemLog(), Not(HasSubstr(",after-hup,")));
  EXPECT_THAT(daemon_.out(), HasSubstr("Reload configsystem log request received.\n"));
}

// Hang-ups that come while the daemon is busy give one reload. The daemon
// is held stopped while they arrive: sent to a running daemon, the second
// could come after it has already reloaded for the first.
TEST_F(ReloadTest, TwoHangupsGiveOneReload) {
  daemon_.signal(SIGSTOP);
  siginfo_t info{};
  ASSERT_EQ(waitid(P_PID, static_cast<id_t>(daemon_.pid()), &info, WSTOPPED),
            0);
  daemon_.signal(SIGHUP);
  daemon_.signal(SIGHUP);
  daemon_.signal(SIGCONT);
  ASSERT_EQ(Send("a"), 0);
  ASSERT_EQ(Send("b"), 0);
  EXPECT_EQ(count(daemon_.out(), "Reload config"), 1);
}

TEST_F(ReloadTest, BrokenFileKeepsTheOldSettings) {
  write_file(tree_.config(), "<config><share>");
  daemon_.signal(SIGHUP);
  // The request that came with the failed reload is served all the same.
  ASSERT_EQ(Send("with-broken"), 0);
  ASSERT_EQ(Send("after-broken"), 0);
  EXPECT_THAT(daemon_.err(), HasSubstr("Error: CDOMXmlDocument::Load: ERROR: "
                                       "parse_file() failed."));
  EXPECT_THAT(SystemLog(), HasSubstr(",with-broken,"));
  EXPECT_THAT(SystemLog(), HasSubstr(",after-broken,"));
}

TEST_F(ReloadTest, MissingLogRootFailsTheRequestWithoutAnswer) {
  tree_.write_config("<eventlogconf enable=\"true\"/>\n");
  daemon_.signal(SIGHUP);
  EXPECT_EQ(Send("x"), 5);
  EXPECT_THAT(daemon_.err(), HasSubstr("Error: CDOMNode::SelectSingleNode: "
                                       "ERROR: no nodes found."));
}

}  // namespace
}  // namespace quillo_test
