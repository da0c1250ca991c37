// One client's GET /api/follow: a LogReader following the query on the
// connection's own thread, its rows as server-sent events:
//
//   data: <the row as quillo-query --output json prints it>
//
// one event per row: first the start (the rows from `since` on, or
// without `since` the last `lines` rows, default 10), then
//
//   event: caught-up
//   data:
//
// then each row as quillod writes it, and a ": keep-alive" comment when
// nothing was sent for a while, so that a client that went away is
// noticed and the connection's idle time-out never strikes. The start is
// at most the last kMaxFollowStart rows, so one request cannot make the
// server hold a month of rows.

#ifndef QUILLO_WEB_WEB_FOLLOW_H_
#define QUILLO_WEB_WEB_FOLLOW_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "web/web_api.h"

namespace quillo {

inline constexpr std::int64_t kMaxFollowStart = 10000;

class FollowStream {
 public:
  // Where the stream goes: `client_fd` is the client's socket, which
  // hangs up when the client goes; `stop_fd` hangs up when the server
  // stops.
  struct Ends {
    int client_fd = -1;
    int stop_fd = -1;
    int keep_alive_ms = 15000;
  };

  // Reads the start; nullptr with `error` set (400 naming the parameter,
  // or 500 when the tree cannot be read) instead.
  static std::unique_ptr<FollowStream> open(const std::string& log_root,
                                            const WebParams& params,
                                            std::int64_t now, const Ends& ends,
                                            WebAnswer* error);
  ~FollowStream();
  FollowStream(const FollowStream&) = delete;
  FollowStream& operator=(const FollowStream&) = delete;

  // Copies up to `max` bytes of the stream to `out`, waiting until rows or
  // a keep-alive are due; -1 once the client went, the server stops or
  // the tree can no longer be followed: the end of the stream.
  long read(char* out, std::size_t max);

 private:
  struct State;
  explicit FollowStream(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace quillo

#endif  // QUILLO_WEB_WEB_FOLLOW_H_
