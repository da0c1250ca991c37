// The daemon's signal handling: a hang-up asks the request loop to reload
// the configuration, and a peer that has gone away is an error of the
// write, not a signal that ends the process. (SIGUSR1, the counter dump,
// is installed by daemon/counters.h.)
//
// The handlers only set a lock-free flag; the request loop acts on it.

#ifndef QUILLO_DAEMON_SIGNALS_H_
#define QUILLO_DAEMON_SIGNALS_H_

#include <atomic>

namespace quillo {

// Set by the hang-up handler (main thread only: other threads block the
// signal); tested and cleared by the request loop.
extern std::atomic<bool> g_reload_requested;
static_assert(std::atomic<bool>::is_always_lock_free,
              "set in a signal handler");

// Ignores SIGPIPE and makes SIGHUP set g_reload_requested (SA_RESTART).
// Call on the main thread before other threads start.
void install_signals();

}  // namespace quillo

#endif  // QUILLO_DAEMON_SIGNALS_H_
