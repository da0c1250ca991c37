#include "daemon/signals.h"

#include <signal.h>

namespace quillo {

std::atomic<bool> g_reload_requested{false};

namespace {

void on_hangup(int) { g_reload_requested.store(true); }

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
}

}  // namespace quillo
