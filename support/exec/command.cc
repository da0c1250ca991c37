#include "support/exec/command.h"

#include <cxxabi.h>

#include "support/exec/exec.h"

namespace quillo {
namespace {

std::string FormatWhat(const std::string& message, bool aborted,
                       int exit_status) {
  if (aborted) return message;
  return message + " - " + std::to_string(exit_status);
}

// Runs one command; `input` null means no input pipe.
int RunChecked(const std::string& name, const char* const* arguments,
               std::istream* input, std::ostream* output,
               const char* failure_message, int timeout_seconds) {
  const std::string prefix = name + " ";
  int status = 0;
  try {
    const char* program = arguments != nullptr ? arguments[0] : nullptr;
    CExec exec(program, arguments);
    status = input != nullptr
                 ? exec.RunWithInput(*input, output, {}, timeout_seconds)
                 : exec.RunReadOutput(output, {}, timeout_seconds);
  } catch (const CExecError& error) {
    throw CmdExecError(prefix + error.what(), true, 0);
  } catch (abi::__forced_unwind&) {
    throw;  // thread cancellation must go on unwinding
  } catch (...) {
    throw CmdExecError(prefix + "unknown", true, 0);
  }
  if (status != 0 && failure_message != nullptr) {
    throw CmdExecError(prefix + failure_message, false, status);
  }
  return status;
}

// Null-terminated pointers into `arguments`, which must outlive the result.
std::vector<const char*> ToPointerArray(
    const std::vector<std::string>& arguments) {
  std::vector<const char*> pointers;
  pointers.reserve(arguments.size() + 1);
  for (const std::string& argument : arguments) {
    pointers.push_back(argument.c_str());
  }
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

CmdExecError::CmdExecError(const std::string& message, bool aborted,
                           int exit_status)
    : std::runtime_error(message),
      aborted_(aborted),
      exit_status_(exit_status),
      text_(std::make_shared<const std::string>(
          FormatWhat(message, aborted, exit_status))) {}

CmdExecError::~CmdExecError() = default;

const char* CmdExecError::what() const noexcept { return text_->c_str(); }

int run_command(const std::string& name, const char* const* arguments,
                std::ostream* output, const char* failure_message,
                int timeout_seconds) {
  return RunChecked(name, arguments, nullptr, output, failure_message,
                    timeout_seconds);
}

int run_command(const std::string& name,
                const std::vector<std::string>& arguments, std::ostream* output,
                const char* failure_message, int timeout_seconds) {
  return run_command(name, ToPointerArray(arguments).data(), output,
                     failure_message, timeout_seconds);
}

int run_command_input(const std::string& name, const char* const* arguments,
                      std::istream& input, std::ostream* output,
                      const char* failure_message, int timeout_seconds) {
  return RunChecked(name, arguments, &input, output, failure_message,
                    timeout_seconds);
}

int run_command_input(const std::string& name,
                      const std::vector<std::string>& arguments,
                      std::istream& input, std::ostream* output,
                      const char* failure_message, int timeout_seconds) {
  return run_command_input(name, ToPointerArray(arguments).data(), input,
                           output, failure_message, timeout_seconds);
}

}  // namespace quillo
