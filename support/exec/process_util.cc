#include "support/exec/process_util.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace quillo {
namespace exec_internal {

namespace {

// Upper end of the descriptor range the child closes one by one when
// close_range() is not available and the descriptor limit is unbounded.
constexpr int kMaxFdLoop = 1 << 20;

// Closes [low, high]; high is capped by the descriptor limit when
// close_range() is missing. Async-signal-safe.
void CloseRange(unsigned low, unsigned high, int fd_limit) {
  if (low > high || close_range(low, high, 0) == 0) return;
  const unsigned last =
      std::min(high, static_cast<unsigned>(fd_limit > 0 ? fd_limit - 1 : 0));
  for (unsigned fd = low; fd <= last; ++fd) close(static_cast<int>(fd));
}

}  // namespace

void CloseFd(int* fd) {
  if (*fd >= 0) {
    // Linux releases the descriptor even when close reports EINTR, so a
    // retry could close a descriptor another thread has just opened.
    close(*fd);
    *fd = -1;
  }
}

ScopedSigpipeBlock::ScopedSigpipeBlock() {
  sigemptyset(&sigpipe_);
  sigaddset(&sigpipe_, SIGPIPE);
  sigset_t pending;
  sigpending(&pending);
  was_pending_ = sigismember(&pending, SIGPIPE) == 1;
  pthread_sigmask(SIG_BLOCK, &sigpipe_, &saved_);
}

ScopedSigpipeBlock::~ScopedSigpipeBlock() {
  if (!was_pending_) {
    sigset_t pending;
    sigpending(&pending);
    if (sigismember(&pending, SIGPIPE) == 1) {
      const timespec no_wait{};
      while (sigtimedwait(&sigpipe_, nullptr, &no_wait) < 0 && errno == EINTR) {
      }
    }
  }
  pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
}

bool MakePipe(int fds[2]) {
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  for (int i = 0; i < 2; ++i) {
    if (fds[i] > STDERR_FILENO) continue;
    const int moved = fcntl(fds[i], F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    close(fds[i]);
    fds[i] = moved;
  }
  if (fds[0] >= 0 && fds[1] >= 0) return true;
  const int saved_errno = errno;
  CloseFd(&fds[0]);
  CloseFd(&fds[1]);
  errno = saved_errno;
  return false;
}

void SetNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// glibc 2.36 declares pidfd_open() without C linkage for C++, so the system
// call is made directly. A pidfd is always close-on-exec.
int PidfdOpen(pid_t pid) {
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

int64_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

int PollTimeout(int64_t deadline_ms) {
  if (deadline_ms < 0) return -1;
  const int64_t left = deadline_ms - MonotonicMs();
  if (left <= 0) return 0;
  return static_cast<int>(std::min<int64_t>(left, INT_MAX));
}

int SoftFdLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 ||
      limit.rlim_cur == RLIM_INFINITY ||
      limit.rlim_cur > static_cast<rlim_t>(kMaxFdLoop)) {
    return kMaxFdLoop;
  }
  return static_cast<int>(limit.rlim_cur);
}

std::vector<int> NormalizeKeepList(const std::vector<int>& keep_fds) {
  std::vector<int> keep;
  for (const int fd : keep_fds) {
    if (fd > STDERR_FILENO) keep.push_back(fd);
  }
  std::sort(keep.begin(), keep.end());
  keep.erase(std::unique(keep.begin(), keep.end()), keep.end());
  return keep;
}

void CloseDescriptorsInChild(const std::vector<int>& sorted_keep,
                             int fd_limit) {
  unsigned low = STDERR_FILENO + 1;
  for (const int fd : sorted_keep) {
    const unsigned kept = static_cast<unsigned>(fd);
    if (kept > low) CloseRange(low, kept - 1, fd_limit);
    low = kept + 1;
  }
  CloseRange(low, UINT_MAX, fd_limit);
}

void ResetSignalsInChild() {
  struct sigaction default_action;
  memset(&default_action, 0, sizeof default_action);
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig == SIGKILL || sig == SIGSTOP) continue;
    sigaction(sig, &default_action, nullptr);  // fails harmlessly for some
  }
  sigset_t none;
  sigemptyset(&none);
  // The child has one thread, so the process mask is the thread's.
  sigprocmask(SIG_SETMASK, &none, nullptr);  // NOLINT(concurrency-mt-unsafe)
}

}  // namespace exec_internal
}  // namespace quillo
