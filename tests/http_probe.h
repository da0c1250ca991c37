// Raw HTTP over TCP for the end-to-end tests of quillo-web: connections
// that are held idle, stall partway or send what a client library would
// refuse to, and what the server did with them (answered, closed, or left
// them open until the probe's own bound).

#ifndef QUILLO_TESTS_HTTP_PROBE_H_
#define QUILLO_TESTS_HTTP_PROBE_H_

#include <chrono>
#include <string>

#include "base/unique_fd.h"

namespace quillo_test {

// How long a probe's read waits for the server before giving up.
inline constexpr std::chrono::seconds kProbeBound{10};

// A TCP connection to 127.0.0.1:`port` whose reads give up after
// kProbeBound; none when the connect failed.
base::UniqueFd connect_local(int port);

// Sends all of `text`; false when the server stopped taking it.
bool send_all(const base::UniqueFd& fd, const std::string& text);

struct Reply {
  std::string bytes;
  bool closed = false;  // by the server (end of stream or reset), not the bound
  std::chrono::steady_clock::duration took{};
  // The answer's status; 0 when what came is no HTTP answer.
  int status() const;
};

// What the server sends until it closes the connection or kProbeBound
// passes without a byte.
Reply read_until_close(const base::UniqueFd& fd);

// Whether the server has closed `fd` by now (looked at without waiting).
bool closed_by_server(const base::UniqueFd& fd);

// `text` sent on a connection of its own, and what came back; a refused
// connection counts as closed by the server, as does one it closed before
// taking all of `text`.
Reply exchange(int port, const std::string& text);

}  // namespace quillo_test

#endif  // QUILLO_TESTS_HTTP_PROBE_H_
