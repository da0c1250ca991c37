#include "support/exec/exec.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "testing/temp_tree.h"

namespace quillo {
namespace {

using ::testing::ElementsAre;
using ::testing::UnorderedElementsAreArray;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Runs `argv` through a fresh CExec and returns its standard output.
std::string OutputOf(std::vector<const char*> argv,
                     const std::vector<int>& keep_fds = {}) {
  argv.push_back(nullptr);
  CExec exec(argv[0], argv.data());
  std::ostringstream out;
  EXPECT_EQ(exec.RunReadOutput(&out, keep_fds), 0);
  return out.str();
}

// Message of the CExecError `action` raises, or "" when it raises none.
template <typename Action>
std::string ErrorOf(Action action) {
  try {
    action();
  } catch (const CExecError& error) {
    return error.what();
  }
  return "";
}

class ExecTest : public ::testing::Test {
 protected:
  quillo_test::TempTree dir_{"quillo-exec"};
};

TEST_F(ExecTest, StartIsRefusedUntilTheChildIsWaitedFor) {
  const std::string script = dir_.script("exit5", "exit 5");
  const char* argv[] = {script.c_str(), nullptr};
  CExec exec(argv[0], argv);
  EXPECT_EQ(ErrorOf([&] { exec.Wait(); }), "wait Error!");

  exec.Start(false, false, {});
  EXPECT_EQ(ErrorOf([&] { exec.Start(false, false, {}); }), "Already Called!");
  EXPECT_EQ(exec.Wait(), 5);
  EXPECT_EQ(exec.Wait(), 5);  // the stored status, no second waitpid

  // A finished object may run again.
  const pid_t pid = exec.Start(true, false, {});
  EXPECT_GT(pid, 0);
  EXPECT_EQ(exec.Wait(), 5);
}

TEST_F(ExecTest, EnvironmentWithSearchPathIsRefused) {
  const char* argv[] = {"env", nullptr};
  const char* env[] = {"A=1", nullptr};
  EXPECT_EQ(ErrorOf([&] { CExec exec(argv[0], argv, env, true, true); }),
            "param Error!");
}

TEST_F(ExecTest, GivenEnvironmentReplacesTheDaemons) {
  const char* argv[] = {"/usr/bin/env", nullptr};
  const char* env[] = {"QUILLO_A=1", "QUILLO_B=two", nullptr};
  CExec exec(argv[0], argv, env, false, true);
  std::ostringstream out;
  EXPECT_EQ(exec.RunReadOutput(&out, {}), 0);
  EXPECT_THAT(Lines(out.str()), ElementsAre("QUILLO_A=1", "QUILLO_B=two"));
}

TEST_F(ExecTest, ProgramThatCannotRunEndsWithStatusTwo) {
  const std::string missing = dir_.file("missing");
  const std::string not_executable = dir_.file("plain");
  dir_.script("plain", "exit 0");
  chmod(not_executable.c_str(), 0644);
  for (const std::string& program : {missing, not_executable}) {
    SCOPED_TRACE(program);
    const char* argv[] = {program.c_str(), nullptr};
    for (const bool search_path : {true, false}) {
      CExec exec(argv[0], argv, nullptr, search_path, false);
      EXPECT_EQ(exec.RunReadOutput(nullptr, {}), 2);
    }
  }
}

// Opens /dev/null (without close-on-exec, as careless code would) at the
// first free descriptor at or above `minimum`.
class LooseFd final {
 public:
  explicit LooseFd(int minimum) {
    const int fd = open("/dev/null", O_RDONLY);  // NOLINT(android-cloexec-open)
    fd_ = fcntl(fd, F_DUPFD, minimum);
    close(fd);
  }
  ~LooseFd() { close(fd_); }
  LooseFd(const LooseFd&) = delete;
  LooseFd& operator=(const LooseFd&) = delete;
  LooseFd(LooseFd&&) = delete;
  LooseFd& operator=(LooseFd&&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

TEST_F(ExecTest, OnlyStandardAndKeptDescriptorsReachTheChild) {
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_cur <= 400) GTEST_SKIP() << "descriptor limit too low";
  const LooseFd low(20);
  const LooseFd high(300);  // above the 255 an old child loop stopped at
  ASSERT_GE(low.get(), 20);
  ASSERT_GE(high.get(), 300);

  // ls itself holds 3 for the directory it lists.
  const std::vector<const char*> ls = {"/bin/ls", "-1", "/proc/self/fd"};
  using Fds = std::vector<std::string>;
  EXPECT_THAT(Lines(OutputOf(ls)),
              UnorderedElementsAreArray(Fds{"0", "1", "2", "3"}));
  const std::string high_name = std::to_string(high.get());
  // Duplicates, negative and standard descriptors in the list are harmless.
  EXPECT_THAT(Lines(OutputOf(ls, {high.get(), -1, 1, high.get()})),
              UnorderedElementsAreArray(Fds{"0", "1", "2", "3", high_name}));
  EXPECT_THAT(Lines(OutputOf(ls, {high.get(), low.get()})),
              UnorderedElementsAreArray(Fds{"0", "1", "2", "3", high_name,
                                            std::to_string(low.get())}));
}

TEST_F(ExecTest, StandardErrorIsInheritedAndInputIsAPipe) {
  // The child's 0 is a pipe, its 2 the very file the parent's 2 is.
  struct stat parent_err {};
  ASSERT_EQ(fstat(STDERR_FILENO, &parent_err), 0);
  const std::string script = dir_.script(
      "fds", "test -p /dev/stdin && echo pipe; stat -L -c '%d:%i' /dev/stderr");
  const char* argv[] = {script.c_str(), nullptr};
  CExec exec(argv[0], argv);
  std::istringstream in("");
  std::ostringstream out;
  EXPECT_EQ(exec.RunWithInput(in, &out, {}), 0);
  EXPECT_THAT(Lines(out.str()),
              ElementsAre("pipe", std::to_string(parent_err.st_dev) + ":" +
                                      std::to_string(parent_err.st_ino)));
}

// Sets the process up as the daemon has it (SIGPIPE and SIGHUP ignored, a
// signal blocked) and restores it afterwards.
class DaemonSignalsTest : public ExecTest {
 protected:
  void SetUp() override {
    pipe_saved_ = signal(SIGPIPE, SIG_IGN);
    hup_saved_ = signal(SIGHUP, SIG_IGN);
    sigset_t usr1;
    sigemptyset(&usr1);
    sigaddset(&usr1, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &usr1, &mask_saved_);
  }
  void TearDown() override {
    (void)signal(SIGPIPE, pipe_saved_);
    (void)signal(SIGHUP, hup_saved_);
    pthread_sigmask(SIG_SETMASK, &mask_saved_, nullptr);
  }

 private:
  sighandler_t pipe_saved_ = SIG_DFL;
  sighandler_t hup_saved_ = SIG_DFL;
  sigset_t mask_saved_{};
};

TEST_F(DaemonSignalsTest, ChildStartsWithDefaultSignalsAndEmptyMask) {
  const std::string status =
      OutputOf({"/bin/grep", "-E", "^Sig(Blk|Ign):", "/proc/self/status"});
  EXPECT_THAT(Lines(status), ElementsAre("SigBlk:\t0000000000000000",
                                         "SigIgn:\t0000000000000000"));
}

TEST_F(ExecTest, ChildThatStopsReadingEarlyIsNotAnError) {
  // SIGPIPE keeps its default here: a write to the gone child must not kill
  // the test process.
  ASSERT_EQ(signal(SIGPIPE, SIG_DFL), SIG_DFL);
  const char* argv[] = {"/usr/bin/head", "-c", "10", nullptr};
  CExec exec(argv[0], argv);
  std::istringstream in(std::string(1 << 20, 'x'));
  std::ostringstream out;
  EXPECT_EQ(exec.RunWithInput(in, &out, {}), 0);
  EXPECT_EQ(out.str(), std::string(10, 'x'));
}

TEST_F(ExecTest, ReadAndWriteReachTheChild) {
  const char* argv[] = {"/bin/cat", nullptr};
  CExec exec(argv[0], argv);
  char buffer[16];
  EXPECT_EQ(exec.Write("x", 1), -1);
  EXPECT_EQ(exec.Read(buffer, sizeof buffer), -1);
  exec.Start(false, true, {});
  ASSERT_EQ(exec.Write("abc", 3), 3);
  ASSERT_EQ(exec.Read(buffer, sizeof buffer), 3);
  EXPECT_EQ(std::string(buffer, 3), "abc");
  // The destructor closes the input pipe, so cat ends and is reaped.
}

TEST_F(ExecTest, DestructorEndsAndReapsAChildWhoseOutputIsUnread) {
  // `yes` fills the pipe and blocks; closing the pipe before the wait lets
  // it die of SIGPIPE instead of blocking the destructor for ever.
  const char* argv[] = {"/usr/bin/yes", nullptr};
  pid_t pid = -1;
  {
    CExec exec(argv[0], argv);
    pid = exec.Start(false, false, {});
    ASSERT_GT(pid, 0);
  }
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST_F(ExecTest, TimeoutKillsTheChildAndLeavesItFinished) {
  const std::string script = dir_.script("hang", "exec sleep 1000");
  const char* argv[] = {script.c_str(), nullptr};
  CExec exec(argv[0], argv);
  EXPECT_EQ(ErrorOf([&] { exec.RunReadOutput(nullptr, {}, 1); }), "timeout");
  EXPECT_EQ(exec.Wait(), 0);  // reaped; a signal-ended child counts as 0
}

}  // namespace
}  // namespace quillo
