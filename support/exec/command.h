// The command runner: runs one command to its end, optionally feeding it
// input, and reports every failure as one exception type, CmdExecError,
// whose text starts with the command's name.
//
// Example:
//   std::istringstream request("<request/>");
//   std::ostringstream answer;
//   run_command_input(script, {script}, request, &answer, "", 300);
//   // raises CmdExecError "<script>  - 1" when the script exits with 1

#ifndef QUILLO_SUPPORT_EXEC_COMMAND_H_
#define QUILLO_SUPPORT_EXEC_COMMAND_H_

#include <istream>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/exec/exec.h"

namespace quillo {

// A command that failed. `aborted()` tells that it did not run to its end
// (it could not be started or waited for, or it ran out of time); otherwise
// it ended with the non-zero `exit_status()`. Copies share the text, so
// copying never throws.
class CmdExecError : public std::runtime_error {
 public:
  // what() is `message` when `aborted`, otherwise `message`, " - " and
  // `exit_status` in decimal.
  CmdExecError(const std::string& message, bool aborted, int exit_status);
  ~CmdExecError() override;

  // The text as described above; valid as long as this error object lives.
  const char* what() const noexcept override;

  // The message without the exit status.
  const char* message() const noexcept { return std::runtime_error::what(); }
  bool aborted() const noexcept { return aborted_; }
  int exit_status() const noexcept { return exit_status_; }

 private:
  bool aborted_;
  int exit_status_;
  std::shared_ptr<const std::string> text_;
};

// Runs the program named by arguments[0] (looked up in the search path,
// with the daemon's environment) with the null-terminated `arguments`,
// appends its standard output to `output` (discarded when null), and returns
// its exit status: the exit code, or 2 when the program could not be
// executed. The child's standard input is the daemon's.
//
// Raises CmdExecError, every text starting with `name` and a space:
//   - the status is not 0 and `failure_message` is not null: the prefix and
//     `failure_message`, not aborted, the status (an empty message gives
//     "<name>  - <status>");
//   - the child could not be started or waited for: the prefix and the
//     CExec text ("fork Error!", "wait Error!", ...), aborted, status 0;
//   - with a positive `timeout_seconds`, the command had not ended that many
//     seconds after its start: it is killed with everything in its process
//     group and the text is the prefix and "timeout", aborted, status 0;
//   - anything else: the prefix and "unknown", aborted, status 0.
int run_command(const std::string& name, const char* const* arguments,
                std::ostream* output, const char* failure_message,
                int timeout_seconds = kNoTimeout);
int run_command(const std::string& name,
                const std::vector<std::string>& arguments, std::ostream* output,
                const char* failure_message,
                int timeout_seconds = kNoTimeout);

// As run_command, but the command's standard input is the whole of `input`
// (from its beginning) followed by end of file. A command that exits
// without reading all of it is not an error in itself.
int run_command_input(const std::string& name, const char* const* arguments,
                      std::istream& input, std::ostream* output,
                      const char* failure_message,
                      int timeout_seconds = kNoTimeout);
int run_command_input(const std::string& name,
                      const std::vector<std::string>& arguments,
                      std::istream& input, std::ostream* output,
                      const char* failure_message,
                      int timeout_seconds = kNoTimeout);

}  // namespace quillo

#endif  // QUILLO_SUPPORT_EXEC_COMMAND_H_
