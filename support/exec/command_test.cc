#include "support/exec/command.h"

#include <signal.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "testing/temp_tree.h"

namespace quillo {
namespace {

class CommandTest : public ::testing::Test {
 protected:
  quillo_test::TempTree dir_{"quillo-exec"};
};

TEST_F(CommandTest, AnswerArrivesCompleteAndStatusIsZero) {
  const std::string script =
      dir_.script("answer", "in=$(cat); printf '<answer>%s</answer>' \"$in\"");
  std::istringstream request("<request/>");
  request.get();  // the runner rewinds before feeding
  std::ostringstream answer;
  EXPECT_EQ(run_command_input(script, {script}, request, &answer, ""), 0);
  EXPECT_EQ(answer.str(), "<answer><request/></answer>");
}

TEST_F(CommandTest, ArgumentsReachTheProgram) {
  const std::string script = dir_.script("args", "printf '%s|' \"$0\" \"$@\"");
  const char* argv[] = {script.c_str(), "a b", "", "c", nullptr};
  std::ostringstream out;
  EXPECT_EQ(run_command("name", argv, &out, nullptr), 0);
  EXPECT_EQ(out.str(), script + "|a b||c|");
}

TEST_F(CommandTest, EmptyInputIsEndOfFileAtOnce) {
  const std::string script =
      dir_.script("count", "test -p /dev/stdin && echo pipe; wc -c");
  std::istringstream empty;
  std::ostringstream out;
  EXPECT_EQ(run_command_input(script, {script}, empty, &out, ""), 0);
  EXPECT_EQ(out.str(), "pipe\n0\n");
}

struct StatusCase {
  const char* label;
  const char* script_body;  // nullptr: the program does not exist
  const char* failure_message;
  int status;
  bool raises;
};

void PrintTo(const StatusCase& c, std::ostream* out) { *out << c.label; }

class CommandStatusTest : public CommandTest,
                          public ::testing::WithParamInterface<StatusCase> {};

TEST_P(CommandStatusTest, NonZeroStatusRaisesOnlyWithAMessage) {
  const StatusCase& c = GetParam();
  const std::string program = c.script_body != nullptr
                                  ? dir_.script("prog", c.script_body)
                                  : dir_.file("missing");
  std::istringstream in("x");
  std::ostringstream out;
  try {
    const int status =
        run_command_input("cmd", {program}, in, &out, c.failure_message);
    EXPECT_FALSE(c.raises);
    EXPECT_EQ(status, c.status);
  } catch (const CmdExecError& error) {
    ASSERT_TRUE(c.raises) << error.what();
    EXPECT_FALSE(error.aborted());
    EXPECT_EQ(error.exit_status(), c.status);
    const std::string message = std::string("cmd ") + c.failure_message;
    EXPECT_EQ(error.message(), message);
    EXPECT_EQ(std::string(error.what()),
              message + " - " + std::to_string(c.status));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandStatusTest,
    ::testing::Values(
        StatusCase{"ExitZeroWithMessage", "cat >/dev/null", "failed", 0, false},
        StatusCase{"ExitThreeWithMessage", "exit 3", "failed", 3, true},
        StatusCase{"ExitThreeWithoutMessage", "exit 3", nullptr, 3, false},
        StatusCase{"ExitThreeWithEmptyMessage", "exit 3", "", 3, true},
        StatusCase{"MissingProgram", nullptr, nullptr, 2, false},
        StatusCase{"MissingProgramWithMessage", nullptr, "gone", 2, true}),
    [](const ::testing::TestParamInfo<StatusCase>& info) {
      return std::string(info.param.label);
    });

TEST_F(CommandTest, AnswerBeforeReadingLargeInputDoesNotDeadlock) {
  // The script writes far more than a pipe holds before it reads anything,
  // then echoes its input: feeding all input first would block both sides.
  const std::string script =
      dir_.script("early", "head -c 300000 /dev/zero | tr '\\0' a; cat");
  std::string input;
  for (int i = 0; input.size() < (1u << 20); ++i) {
    input += std::to_string(i) + "\n";
  }
  std::istringstream in(input);
  std::ostringstream out;
  EXPECT_EQ(run_command_input(script, {script}, in, &out, "", 60), 0);
  EXPECT_TRUE(out.str() == std::string(300000, 'a') + input)
      << "output of " << out.str().size() << " bytes differs";
}

bool ProcessGoneOrZombie(const std::string& pid) {
  std::ifstream stat("/proc/" + pid + "/stat");
  if (!stat) return true;
  std::string text((std::istreambuf_iterator<char>(stat)),
                   std::istreambuf_iterator<char>());
  const size_t paren = text.rfind(')');
  return paren != std::string::npos && text.compare(paren, 3, ") Z") == 0;
}

struct HangCase {
  const char* label;
  const char* script_body;  // $1: file for the background sleep's pid
  bool with_input;
};

void PrintTo(const HangCase& c, std::ostream* out) { *out << c.label; }

class CommandTimeoutTest : public CommandTest,
                           public ::testing::WithParamInterface<HangCase> {};

TEST_P(CommandTimeoutTest, HangingScriptIsKilledWithItsGroup) {
  const HangCase& c = GetParam();
  const std::string script = dir_.script("hang", c.script_body);
  const std::string pid_file = dir_.file("pid");
  const std::vector<std::string> argv = {script, pid_file};
  std::istringstream in("request");
  const auto started = std::chrono::steady_clock::now();
  try {
    if (c.with_input) {
      run_command_input(script, argv, in, nullptr, "failed", 1);
    } else {
      run_command(script, argv, nullptr, "failed", 1);
    }
    ADD_FAILURE() << "no timeout";
  } catch (const CmdExecError& error) {
    EXPECT_EQ(std::string(error.what()), script + " timeout");
    EXPECT_TRUE(error.aborted());
    EXPECT_EQ(error.exit_status(), 0);
  }
  const auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_GE(elapsed, std::chrono::milliseconds(900));
  EXPECT_LT(elapsed, std::chrono::seconds(10));

  std::string grandchild;
  std::ifstream(pid_file) >> grandchild;
  ASSERT_FALSE(grandchild.empty());
  // SIGKILL is delivered at once, but the death takes a moment.
  for (int i = 0; i < 500 && !ProcessGoneOrZombie(grandchild); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(ProcessGoneOrZombie(grandchild)) << "pid " << grandchild;
  if (!ProcessGoneOrZombie(grandchild)) kill(std::stoi(grandchild), SIGKILL);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandTimeoutTest,
    ::testing::Values(
        // The background sleep keeps the output pipe open.
        HangCase{"HoldsOutputPipe", "sleep 1000 & echo $! >\"$1\"; wait",
                 false},
        HangCase{"HoldsOutputPipeWithInput",
                 "sleep 1000 & echo $! >\"$1\"; wait", true},
        // Output closed at once: the time runs out while waiting for exit.
        HangCase{"OutputClosed",
                 "exec >/dev/null; sleep 1000 & echo $! >\"$1\"; wait", true}),
    [](const ::testing::TestParamInfo<HangCase>& info) {
      return std::string(info.param.label);
    });

}  // namespace
}  // namespace quillo
