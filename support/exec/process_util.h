// Small POSIX helpers of CExec: pipes, SIGPIPE suppression, monotonic
// deadlines, and the steps a forked child takes before exec. Internal to
// support/exec.

#ifndef QUILLO_SUPPORT_EXEC_PROCESS_UTIL_H_
#define QUILLO_SUPPORT_EXEC_PROCESS_UTIL_H_

#include <signal.h>
#include <sys/types.h>

#include <cstdint>
#include <vector>

namespace quillo {
namespace exec_internal {

// Closes `*fd` when it is open and sets it to -1.
void CloseFd(int* fd);

// Blocks SIGPIPE for the calling thread while it writes to a child, and
// swallows the SIGPIPE that a write to a vanished child queued, so that the
// caller sees EPIPE whatever the process's disposition of the signal is.
class ScopedSigpipeBlock final {
 public:
  ScopedSigpipeBlock();
  ~ScopedSigpipeBlock();
  ScopedSigpipeBlock(const ScopedSigpipeBlock&) = delete;
  ScopedSigpipeBlock& operator=(const ScopedSigpipeBlock&) = delete;
  ScopedSigpipeBlock(ScopedSigpipeBlock&&) = delete;
  ScopedSigpipeBlock& operator=(ScopedSigpipeBlock&&) = delete;

 private:
  sigset_t sigpipe_;
  sigset_t saved_;
  bool was_pending_;
};

// pipe2(O_CLOEXEC) whose ends both lie above standard error, so that the
// child's dup2 onto 0 and 1 never overwrites the other pipe end. False
// (errno kept, nothing left open) on failure.
bool MakePipe(int fds[2]);

void SetNonBlocking(int fd);

// pidfd of `pid` (close-on-exec), or -1 where the kernel has none.
int PidfdOpen(pid_t pid);

int64_t MonotonicMs();

// poll() time-out for `deadline_ms` (-1: none): -1 without a deadline, 0
// once it has passed, otherwise the milliseconds left.
int PollTimeout(int64_t deadline_ms);

// The soft descriptor limit, capped; bounds the child's closing loop where
// close_range() is missing.
int SoftFdLimit();

// The keep list as the child needs it: sorted, unique, 3 and above.
std::vector<int> NormalizeKeepList(const std::vector<int>& keep_fds);

// Child only (async-signal-safe): closes every descriptor from 3 up that is
// not in `sorted_keep` (from NormalizeKeepList).
void CloseDescriptorsInChild(const std::vector<int>& sorted_keep, int fd_limit);

// Child only (async-signal-safe): the default disposition for every signal
// and an empty mask, so that the program runs as if started from a shell
// and not with the daemon's ignored SIGPIPE, handlers or blocked signals.
void ResetSignalsInChild();

}  // namespace exec_internal
}  // namespace quillo

#endif  // QUILLO_SUPPORT_EXEC_PROCESS_UTIL_H_
