#include "support/exec/exec.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "support/exec/process_util.h"

namespace quillo {

using exec_internal::MonotonicMs;
using exec_internal::PollTimeout;

namespace {

// Size of one piece moved between a stream and a pipe.
constexpr size_t kChunkSize = 1024;

std::vector<char*> CopyPointerArray(const char* const* array) {
  std::vector<char*> copy;
  for (; array != nullptr && *array != nullptr; ++array) {
    // exec*() takes char* const[] but never writes through it.
    copy.push_back(const_cast<char*>(*array));
  }
  copy.push_back(nullptr);
  return copy;
}

void Rewind(std::istream& input) {
  input.clear();
  input.seekg(0, std::ios::beg);
  input.clear();  // a stream that cannot seek is read from where it stands
}

}  // namespace

// The part of the input stream that was read but not yet written.
class CExec::InputChunk final {
 public:
  explicit InputChunk(std::istream* input) : input_(input) {}

  // Reads the next piece when the current one is used up; false once the
  // stream has nothing more.
  bool Fill() {
    if (offset_ < length_) return true;
    offset_ = length_ = 0;
    if (input_ == nullptr || !*input_) return false;
    input_->read(buffer_, sizeof buffer_);
    length_ = static_cast<size_t>(input_->gcount());
    return length_ > 0;
  }
  const char* data() const { return buffer_ + offset_; }
  size_t size() const { return length_ - offset_; }
  void Consume(size_t count) { offset_ += count; }

 private:
  std::istream* input_;
  char buffer_[kChunkSize];
  size_t offset_ = 0;
  size_t length_ = 0;
};

CExec::CExec(const char* program, const char* const* arguments)
    : CExec(program, arguments, nullptr, true, false) {}

CExec::CExec(const char* program, const char* const* arguments,
             const char* const* environment, bool search_path,
             bool use_environment)
    : program_(program),
      arguments_(CopyPointerArray(arguments)),
      search_path_(search_path),
      use_environment_(use_environment) {
  // Refused here, in the parent: execve() has no search-path form.
  if (search_path && use_environment) throw CExecError(kExecParamError);
  if (use_environment) environment_ = CopyPointerArray(environment);
}

CExec::~CExec() {
  // Closing first lets a child blocked on a full or empty pipe finish.
  ClosePipes();
  if (state_ == kStarted) {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
}

pid_t CExec::Start(bool wait, bool with_input,
                   const std::vector<int>& keep_fds) {
  if (state_ == kStarted) throw CExecError(kExecAlreadyCalled);
  input_wanted_ = with_input;
  MakePipes(with_input);
  // Everything the child needs is ready before the fork: it may only make
  // async-signal-safe calls.
  const std::vector<int> keep = exec_internal::NormalizeKeepList(keep_fds);
  const int fd_limit = exec_internal::SoftFdLimit();

  const pid_t pid = fork();
  if (pid < 0) {
    ClosePipes();
    throw CExecError(kExecForkError);
  }
  if (pid == 0) RunChild(keep, fd_limit);

  pid_ = pid;
  state_ = kStarted;
  // The child makes its own group too; doing it here as well closes the
  // window in which a time-out could signal a group that does not exist yet.
  // EACCES after the child's exec is expected and harmless.
  setpgid(pid, pid);
  output_write_.reset();
  input_read_.reset();
  if (wait) Wait();
  return pid;
}

void CExec::RunChild(const std::vector<int>& keep_fds, int fd_limit) noexcept {
  setpgid(0, 0);
  exec_internal::ResetSignalsInChild();
  if (input_wanted_ && dup2(input_read_.get(), STDIN_FILENO) < 0) _exit(2);
  if (dup2(output_write_.get(), STDOUT_FILENO) < 0) _exit(2);
  // dup2 leaves close-on-exec clear on 0 and 1; the pipe ends themselves
  // are closed here along with everything else not kept.
  exec_internal::CloseDescriptorsInChild(keep_fds, fd_limit);

  if (program_ != nullptr) {
    if (use_environment_) {
      execve(program_, arguments_.data(), environment_.data());
    } else if (search_path_) {
      execvp(program_, arguments_.data());
    } else {
      execv(program_, arguments_.data());
    }
  }
  _exit(2);
}

int CExec::Wait() {
  if (state_ == kFinished) return exit_status_;
  if (state_ != kStarted) throw CExecError(kExecWaitError);
  int status = 0;
  pid_t reaped;
  do {
    reaped = waitpid(pid_, &status, 0);
  } while (reaped < 0 && errno == EINTR);
  if (reaped != pid_) {
    state_ = kWaitFailed;
    throw CExecError(kExecWaitError);
  }
  StoreStatus(status);
  return exit_status_;
}

ssize_t CExec::Read(void* buffer, size_t length) {
  if (!output_read_) {
    errno = EBADF;
    return -1;
  }
  ssize_t count;
  do {
    count = read(output_read_.get(), buffer, length);
  } while (count < 0 && errno == EINTR);
  return count;
}

ssize_t CExec::Write(const void* buffer, size_t length) {
  if (!input_write_) {
    errno = EBADF;
    return -1;
  }
  const exec_internal::ScopedSigpipeBlock no_sigpipe;
  ssize_t count;
  do {
    count = write(input_write_.get(), buffer, length);
  } while (count < 0 && errno == EINTR);
  return count;
}

int CExec::RunReadOutput(std::ostream* output, const std::vector<int>& keep_fds,
                         int timeout_seconds) {
  return Run(nullptr, output, keep_fds, timeout_seconds);
}

int CExec::RunWithInput(std::istream& input, std::ostream* output,
                        const std::vector<int>& keep_fds, int timeout_seconds) {
  return Run(&input, output, keep_fds, timeout_seconds);
}

int CExec::Run(std::istream* input, std::ostream* output,
               const std::vector<int>& keep_fds, int timeout_seconds) {
  const int64_t deadline_ms =
      timeout_seconds > 0 ? MonotonicMs() + int64_t{timeout_seconds} * 1000
                          : -1;
  Start(false, input != nullptr, keep_fds);
  if (input != nullptr) {
    Rewind(*input);
    // Written only when poll() says there is room, and never blocking, so
    // that the child's output is always drained while it takes its input.
    exec_internal::SetNonBlocking(input_write_.get());
  }
  bool in_time;
  {
    const exec_internal::ScopedSigpipeBlock no_sigpipe;
    in_time = Transfer(input, output, deadline_ms);
  }
  ClosePipes();
  if (in_time && deadline_ms >= 0) in_time = WaitUntil(deadline_ms);
  if (!in_time) {
    KillGroupAndReap();
    throw CExecError(kExecTimeout);
  }
  return Wait();
}

bool CExec::Transfer(std::istream* input, std::ostream* output,
                     int64_t deadline_ms) {
  InputChunk chunk(input);
  while (output_read_ || input_write_) {
    if (input_write_ && !chunk.Fill()) {
      input_write_.reset();  // the child sees end of file
      continue;
    }
    pollfd fds[2];
    nfds_t count = 0;
    int output_index = -1;
    int input_index = -1;
    if (output_read_) {
      output_index = static_cast<int>(count);
      fds[count++] = {output_read_.get(), POLLIN, 0};
    }
    if (input_write_) {
      input_index = static_cast<int>(count);
      fds[count++] = {input_write_.get(), POLLOUT, 0};
    }
    const int timeout_ms = PollTimeout(deadline_ms);
    if (timeout_ms == 0) return false;
    const int ready = poll(fds, count, timeout_ms);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return true;  // not with valid descriptors; stop moving data
    }
    if (output_index >= 0 && fds[output_index].revents != 0) {
      ReadOnce(output);
    }
    if (input_index >= 0 && fds[input_index].revents != 0) WriteOnce(&chunk);
  }
  return true;
}

void CExec::WriteOnce(InputChunk* chunk) {
  const ssize_t written =
      write(input_write_.get(), chunk->data(), chunk->size());
  if (written > 0) {
    chunk->Consume(static_cast<size_t>(written));
  } else if (written < 0 && errno != EAGAIN && errno != EINTR) {
    input_write_.reset();  // EPIPE: the child stopped reading
  }
}

void CExec::ReadOnce(std::ostream* output) {
  char buffer[kChunkSize];
  const ssize_t count = read(output_read_.get(), buffer, sizeof buffer);
  if (count > 0) {
    if (output != nullptr) output->write(buffer, count);
  } else if (count == 0 || (errno != EINTR && errno != EAGAIN)) {
    output_read_.reset();
  }
}

bool CExec::WaitUntil(int64_t deadline_ms) {
  // A pidfd turns readable when the child ends, which gives a bounded wait
  // without polling waitpid in a sleep loop.
  const base::UniqueFd pidfd(exec_internal::PidfdOpen(pid_));
  while (pidfd.get() >= 0) {
    const int timeout_ms = PollTimeout(deadline_ms);
    if (timeout_ms == 0) return false;
    pollfd ended{pidfd.get(), POLLIN, 0};
    const int ready = poll(&ended, 1, timeout_ms);
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) break;
  }
  // Kernels without pidfds: look every 10 ms.
  for (;;) {
    int status = 0;
    const pid_t reaped = waitpid(pid_, &status, WNOHANG);
    if (reaped == pid_) {
      StoreStatus(status);
      return true;
    }
    if (reaped < 0 && errno != EINTR) {
      state_ = kWaitFailed;
      throw CExecError(kExecWaitError);
    }
    const int timeout_ms = PollTimeout(deadline_ms);
    if (timeout_ms == 0) return false;
    const timespec pause{0, std::min(timeout_ms, 10) * 1000000L};
    nanosleep(&pause, nullptr);
  }
}

void CExec::KillGroupAndReap() noexcept {
  // The child is not reaped yet, so its pid and group id cannot be reused.
  kill(-pid_, SIGKILL);
  kill(pid_, SIGKILL);
  int status = 0;
  pid_t reaped;
  do {
    reaped = waitpid(pid_, &status, 0);
  } while (reaped < 0 && errno == EINTR);
  if (reaped == pid_) {
    StoreStatus(status);
  } else {
    state_ = kWaitFailed;
  }
}

void CExec::StoreStatus(int wait_status) {
  exit_status_ = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 0;
  term_signal_ = WIFSIGNALED(wait_status) ? WTERMSIG(wait_status) : 0;
  state_ = kFinished;
}

void CExec::MakePipes(bool with_input) {
  ClosePipes();  // output left unread by an earlier run is dropped
  int output[2];
  if (!exec_internal::MakePipe(output)) throw CExecError(kExecPipeError);
  output_read_.reset(output[0]);
  output_write_.reset(output[1]);
  if (!with_input) return;
  int input[2];
  if (!exec_internal::MakePipe(input)) {
    ClosePipes();
    throw CExecError(kExecPipeError);
  }
  input_read_.reset(input[0]);
  input_write_.reset(input[1]);
}

void CExec::ClosePipes() noexcept {
  output_read_.reset();
  output_write_.reset();
  input_read_.reset();
  input_write_.reset();
}

}  // namespace quillo
