// One child process with a pipe from its standard output and, optionally, a
// pipe to its standard input.
//
// CExec starts a program (with execvp, execv or execve), lets the caller
// feed its standard input and collect its standard output, and reaps it.
// The child starts with a clean slate: every descriptor from 3 up is closed
// except those the caller asks to keep, the signal mask is empty and every
// signal has its default disposition, and it leads a process group of its
// own so that a time-out can kill whatever it started as well.
//
// Example:
//   const char* argv[] = {"/bin/cat", nullptr};
//   quillo::CExec exec(argv[0], argv);
//   std::istringstream in("hello");
//   std::ostringstream out;
//   int status = exec.RunWithInput(in, &out, {}, 10);  // out holds "hello"

#ifndef QUILLO_SUPPORT_EXEC_EXEC_H_
#define QUILLO_SUPPORT_EXEC_EXEC_H_

#include <sys/types.h>

#include <cstdint>
#include <istream>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/unique_fd.h"

namespace quillo {

// The one error type of CExec; its text is one of the fixed messages below.
class CExecError : public std::logic_error {
 public:
  explicit CExecError(const std::string& message) : std::logic_error(message) {}
};

// Texts of CExecError.
inline constexpr char kExecAlreadyCalled[] = "Already Called!";
inline constexpr char kExecWaitError[] = "wait Error!";
inline constexpr char kExecParamError[] = "param Error!";
inline constexpr char kExecPipeError[] = "pipe Error!";
inline constexpr char kExecForkError[] = "fork Error!";
inline constexpr char kExecTimeout[] = "timeout";

// A `timeout_seconds` of this value (or any value <= 0) puts no bound on a run.
inline constexpr int kNoTimeout = 0;

// Owns one child process (until it is reaped) and the pipe ends of the
// current run. The program, argument and environment strings are not copied:
// the caller keeps them alive for the object's lifetime; the pointer arrays
// are copied. Not thread-safe: an object belongs to the thread that made it,
// and a run blocks that thread until the child has ended.
class CExec final {
 public:
  // Runs `program`, looked up in the search path, with the null-terminated
  // `arguments` (argv[0] included) and the daemon's environment.
  CExec(const char* program, const char* const* arguments);

  // Runs `program` with `arguments`; with `use_environment` the child gets
  // the null-terminated `environment` (execve, no search), otherwise the
  // daemon's, via execvp when `search_path` is set, else execv. Raises
  // CExecError "param Error!" when both flags are set.
  CExec(const char* program, const char* const* arguments,
        const char* const* environment, bool search_path, bool use_environment);

  // Closes the pipe ends still open and then, if a child was started and not
  // yet reaped, waits for it to end. Never raises.
  ~CExec();

  CExec(const CExec&) = delete;
  CExec& operator=(const CExec&) = delete;

  // Starts the child and returns its pid. With `with_input` the child reads
  // its standard input from a pipe the caller feeds with Write(); without it
  // the child inherits the daemon's. Its standard output always goes to a
  // pipe the caller drains with Read(). Descriptors in `keep_fds` stay open
  // in the child; every other one from 3 up is closed. With `wait`, returns
  // only after the child has ended (see Wait()).
  // Raises CExecError: "Already Called!" while a started child has not been
  // waited for, "pipe Error!" / "fork Error!" when the child cannot be made,
  // "wait Error!" when the wait of `wait` fails.
  pid_t Start(bool wait, bool with_input, const std::vector<int>& keep_fds);

  // Waits for the started child and returns its exit status: the exit code
  // of a normal exit, 0 for a child ended by a signal. A finished object
  // returns the stored status again. Raises CExecError "wait Error!" when no
  // child was started or waitpid fails.
  int Wait();

  // The signal that ended the finished child, 0 when it exited (Wait()
  // returns 0 for such a child, as for a clean exit).
  int TermSignal() const { return term_signal_; }

  // One read from the child's standard output; 0 at end of file, -1 (errno
  // kept) on error or when the pipe is not open.
  ssize_t Read(void* buffer, size_t length);

  // One write to the child's standard input; -1 (errno kept) on error or
  // when there is no input pipe. EPIPE never raises SIGPIPE here.
  ssize_t Write(const void* buffer, size_t length);

  // Starts the child without input, appends all of its standard output to
  // `output` (discarded when null) and returns its exit status.
  // With a positive `timeout_seconds`, a child that has not ended that many
  // seconds after its start is killed with its whole process group, reaped,
  // and CExecError "timeout" is raised. Other errors as for Start and Wait.
  int RunReadOutput(std::ostream* output, const std::vector<int>& keep_fds,
                    int timeout_seconds = kNoTimeout);

  // As RunReadOutput, but the child's standard input gets the whole of
  // `input` (rewound to its beginning first) followed by end of file.
  // Writing and reading are interleaved, so a child may answer before it
  // has read all of its input. A child that stops reading early is not an
  // error: the rest of the input is dropped.
  int RunWithInput(std::istream& input, std::ostream* output,
                   const std::vector<int>& keep_fds,
                   int timeout_seconds = kNoTimeout);

 private:
  // Lifecycle of the child.
  enum State : int {
    kNotStarted = 0,
    kStarted = 1,
    kWaitFailed = 2,
    kFinished = 3,
  };

  class InputChunk;

  void MakePipes(bool with_input);
  [[noreturn]] void RunChild(const std::vector<int>& keep_fds,
                             int fd_limit) noexcept;
  int Run(std::istream* input, std::ostream* output,
          const std::vector<int>& keep_fds, int timeout_seconds);
  bool Transfer(std::istream* input, std::ostream* output, int64_t deadline_ms);
  void ReadOnce(std::ostream* output);
  void WriteOnce(InputChunk* chunk);
  bool WaitUntil(int64_t deadline_ms);
  void KillGroupAndReap() noexcept;
  void StoreStatus(int wait_status);
  void ClosePipes() noexcept;

  base::UniqueFd output_read_;   // the daemon's end of the output pipe
  base::UniqueFd output_write_;  // the child's end, closed once it has it
  base::UniqueFd input_read_;    // the child's end of the input pipe
  base::UniqueFd input_write_;   // the daemon's end of the input pipe
  pid_t pid_ = -1;
  const char* program_;
  std::vector<char*> arguments_;    // null-terminated copy of the pointers
  std::vector<char*> environment_;  // likewise; empty when none was given
  bool search_path_;
  bool use_environment_;
  State state_ = kNotStarted;
  bool input_wanted_ = false;
  int exit_status_ = 0;
  int term_signal_ = 0;
};

}  // namespace quillo

#endif  // QUILLO_SUPPORT_EXEC_EXEC_H_
