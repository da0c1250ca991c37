// The daemon's signal handling: a hang-up asks the request loop to reload
// the configuration, and a peer that has gone away is an error of the
// write, not a signal that ends the process. (SIGUSR1, the counter dump,
// is installed by daemon/counters.h.)
//
// The handlers only set lock-free flags; the request loop acts on them.
//
// SIGTERM and SIGINT end the daemon where it stands, as their default
// action would, unless the request loop has rows written whose answers have
// not gone out (g_stop_deferred): then the loop finishes the round, sends
// the answers it can within a bound and ends the daemon itself, so that a
// client is told of every row that was stored and offers only the others
// again.

#ifndef QUILLO_DAEMON_SIGNALS_H_
#define QUILLO_DAEMON_SIGNALS_H_

#include <atomic>

namespace quillo {

// Set by the hang-up handler (main thread only: other threads block the
// signal); tested and cleared by the request loop.
extern std::atomic<bool> g_reload_requested;
static_assert(std::atomic<bool>::is_always_lock_free,
              "set in a signal handler");

// Set by the stop handler when it left the stop to the request loop.
extern std::atomic<bool> g_stop_requested;
// Set by the request loop while rows it wrote await their answers, and
// while it has work of its own to finish at a stop (sealing).
extern std::atomic<bool> g_stop_deferred;

// Readable once a stop was left to the request loop: the loop waits on it
// with its clients, so that a stop that comes just before the wait is not
// slept through. -1 before install_signals().
int stop_wake_fd();

// Ignores SIGPIPE, makes SIGHUP set g_reload_requested (SA_RESTART) and
// installs the stop handler for SIGTERM and SIGINT. Call on the main
// thread before other threads start.
void install_signals();

// Ends the process by the signal that asked for the stop, as its default
// action does. Async-signal-safe.
[[noreturn]] void stop_now();

}  // namespace quillo

#endif  // QUILLO_DAEMON_SIGNALS_H_
