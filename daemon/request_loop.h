// The daemon's main thread: serves one client connection at a time, for
// ever.
//
// Per connection: accept, reload the configuration if a hang-up signal came,
// receive one request (bounded to kRequestTimeout), dispatch it by type to
// the system-log or access-log handler, answer 00 02 00 00 and close.
// Requests are served strictly one after another; further clients wait in
// the listen backlog.

#ifndef QUILLO_DAEMON_REQUEST_LOOP_H_
#define QUILLO_DAEMON_REQUEST_LOOP_H_

#include <chrono>
#include <csignal>

// Set by the hang-up handler; tested and cleared by the request loop only.
extern volatile std::sig_atomic_t g_reload_requested;

// Longest wait for one request to arrive whole; a client that sends nothing
// or stops mid-frame is dropped without an answer when it has passed.
inline constexpr std::chrono::seconds kRequestTimeout{5};

// Creates the configuration, the listening connection and the alert
// thread, loads the configuration, starts the alert thread and serves
// requests for ever. Returns only by an exception from those start-up
// steps.
void run_request_loop();

#endif  // QUILLO_DAEMON_REQUEST_LOOP_H_
