#include "daemon/signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace quillo {

std::atomic<bool> g_reload_requested{false};
std::atomic<bool> g_stop_requested{false};
std::atomic<bool> g_stop_deferred{false};

namespace {

static_assert(std::atomic<int>::is_always_lock_free, "set in a signal handler");
std::atomic<int> g_stop_signal{SIGTERM};
int g_wake_pipe[2] = {-1, -1};

void on_hangup(int) { g_reload_requested.store(true); }

void on_stop(int signo) {
  g_stop_signal.store(signo);
  g_stop_requested.store(true);
  if (!g_stop_deferred.load()) stop_now();
  const char byte = 1;
  const int saved = errno;
  (void)!::write(g_wake_pipe[1], &byte, 1);
  errno = saved;
}

}  // namespace

void install_signals() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);

  struct sigaction hangup {};
  hangup.sa_handler = on_hangup;
  sigemptyset(&hangup.sa_mask);
  hangup.sa_flags = SA_RESTART;
  sigaction(SIGHUP, &hangup, nullptr);

  if (g_wake_pipe[0] < 0) (void)!::pipe2(g_wake_pipe, O_CLOEXEC | O_NONBLOCK);
  // No SA_RESTART: a stop cuts a wait in accept() or poll() short.
  struct sigaction stop {};
  stop.sa_handler = on_stop;
  sigemptyset(&stop.sa_mask);
  sigaddset(&stop.sa_mask, SIGTERM);
  sigaddset(&stop.sa_mask, SIGINT);
  sigaction(SIGTERM, &stop, nullptr);
  sigaction(SIGINT, &stop, nullptr);
}

int stop_wake_fd() { return g_wake_pipe[0]; }

void stop_now() {
  const int signo = g_stop_signal.load();
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(signo, &fallback, nullptr);
  // Inside the handler the signal is blocked until it returns; outside it,
  // it may be blocked by nobody. Either way the default action follows.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signo);
  ::raise(signo);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  // Not reached but for a signal someone else ignores.
  ::_exit(128 + signo);
}

}  // namespace quillo
