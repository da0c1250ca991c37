#include "alert/response_runner.h"

#include <sys/stat.h>

#include <chrono>
#include <utility>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/temp_tree.h"

namespace quillo {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

ResponseJob Job(const std::string& script, int timeout = 5) {
  ResponseJob job;
  job.script = script;
  job.timeout = timeout;
  job.arguments = {"mass-delete", "user", "bob", "200", "60"};
  job.environment = {{"QUILLO_KEY", "bob"}, {"HOME", "/nonexistent"}};
  job.input = "row 1\nrow 2\n";
  job.what = "alert mass-delete for user bob";
  return job;
}

TEST(ResponseRunnerTest, ScriptGetsItsArgumentsEnvironmentAndRows) {
  quillo_test::TempTree tree;
  const std::string script = tree.script(
      "bin/r.sh",
      "printf '%s|' \"$@\"; echo \"$QUILLO_KEY $HOME ${PATH:+path}\"; cat; "
      "ls /proc/self/fd | wc -l");
  const ResponseRunner::Result result = ResponseRunner::execute(Job(script));
  EXPECT_TRUE(result.started);
  EXPECT_EQ(result.failure, "");
  // Set variables replace the daemon's; descriptors from 3 up are closed
  // (the four listed: 0, 1, 2 and the one ls reads).
  EXPECT_EQ(result.output,
            "mass-delete|user|bob|200|60|bob /nonexistent path\n"
            "row 1\nrow 2\n4\n");
}

struct FailureCase {
  const char* body;
  int timeout;
  const char* failure;
};

class ResponseFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(ResponseFailureTest, IsReportedWithItsCause) {
  quillo_test::TempTree tree;
  const std::string script = tree.script("bin/r.sh", GetParam().body);
  const auto start = std::chrono::steady_clock::now();
  const ResponseRunner::Result result =
      ResponseRunner::execute(Job(script, GetParam().timeout));
  EXPECT_TRUE(result.started);
  EXPECT_EQ(result.failure, GetParam().failure);
  // A hung script and what it started are gone at the timeout.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  EXPECT_LE(result.output.size(), ResponseRunner::kOutputCap);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ResponseFailureTest,
    ::testing::Values(FailureCase{"exit 3", 5, "exit status 3"},
                      FailureCase{"kill -KILL $$", 5, "ended by signal 9"},
                      FailureCase{"sleep 60 & sleep 60", 1, "killed after 1 s"},
                      FailureCase{"yes quillo | head -c 100000; exit 1", 5,
                                  "exit status 1"}));

TEST(ResponseRunnerTest, ScriptsOthersCouldChangeAreNotRun) {
  quillo_test::TempTree tree;
  const std::string marker = tree.file("ran");
  const std::string writable = tree.script("bin/w.sh", "touch " + marker);
  chmod(writable.c_str(), 0775);
  const std::string open_dir = tree.script("open/r.sh", "touch " + marker);
  chmod(tree.file("open").c_str(), 0777);
  const std::string plain = tree.write("bin/plain.sh", "touch " + marker);
  for (const auto& [script, why] :
       {std::pair{writable, "others can change the file"},
        std::pair{open_dir, "others can change its folder"},
        std::pair{plain, "not executable"},
        std::pair{std::string("bin/relative.sh"), "not an absolute path"},
        std::pair{tree.file("missing.sh"), "No such file or directory"}}) {
    const ResponseRunner::Result result = ResponseRunner::execute(Job(script));
    EXPECT_FALSE(result.started) << script;
    EXPECT_EQ(result.failure, std::string("not run: ") + why);
  }
  EXPECT_EQ(tree.read("ran"), "<missing>");
}

TEST(ResponseRunnerTest, QueuedJobsRunOnTheirThreadsAndAreCounted) {
  quillo_test::TempTree tree;
  const std::string hang = tree.script("bin/hang.sh", "exec sleep 60");
  const std::string ok = tree.script("bin/ok.sh", "cat >> " + tree.file("out"));
  const std::string bad = tree.script("bin/bad.sh", "exit 1");
  ResponseRunner runner;
  ASSERT_EQ(runner.start(), 0);
  // One hung script leaves the other thread free.
  runner.run(Job(hang, 2));
  runner.run(Job(ok));
  runner.run(Job(bad));
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while ((runner.stats().run < 3 || runner.stats().failed < 2) &&
         std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(runner.stats().run, 3u);
  EXPECT_EQ(runner.stats().failed, 2u);
  EXPECT_EQ(tree.read("out"), "row 1\nrow 2\n");
  runner.stop();
}

TEST(ResponseRunnerTest, JobsPastTheQueueBoundAreRefusedCountedAndReportedOnce) {
  ResponseRunner runner;  // not started: every job waits
  ::testing::internal::CaptureStderr();
  for (std::size_t i = 0; i < ResponseRunner::kMaxWaiting + 6; ++i) {
    runner.run(Job("/bin/true"));
  }
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(runner.stats().failed, 6u);
  EXPECT_EQ(runner.stats().run, 0u);
  EXPECT_THAT(err, StartsWith("Error: response /bin/true of alert mass-delete "
                              "for user bob: not run: 64 responses waiting"));
  EXPECT_EQ(err.find("Error:", 1), std::string::npos);
}

}  // namespace
}  // namespace quillo
