// `quillo-send --stream`: every record of an input stream, one per line,
// sent to the daemon over a session (client/session.h: up to kStreamWindow
// records in flight, one connection per record with a daemon that has no
// sessions), with rsyslog omprog's confirmation protocol on request, with
// or without its transactions (client/stream_replies.h).
//
// With confirmation, "OK" is written once when ready, then one line per
// input line, each flushed at once: "OK" when the daemon took the record,
// and also for a line that can never succeed (unparseable or skipped:
// reported on the error stream with its line number); an "Error: ..." line
// otherwise (the daemon unreachable, no answer, "not stored"), so that
// rsyslog keeps the message and sends it again. With transactions the
// marks are answered and the lines deferred to the commit. Every wait on
// the daemon is bounded to kRecordBound; one record takes at most three
// such waits (its answer, a new session after a lost one, its answer
// again), below omprog's confirmation time-out in the example
// configuration.

#ifndef QUILLO_CLIENT_STREAM_H_
#define QUILLO_CLIENT_STREAM_H_

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <string>

#include "client/options.h"

namespace quillo {

inline constexpr std::chrono::seconds kRecordBound{5};
// Records sent and not yet answered, at most. It is rsyslog's default
// batch of an action queue, so a whole transaction goes out without
// waiting; the answers it leaves unread fit the daemon's socket buffer
// even written one by one, so a send blocked on a busy daemon never waits
// for a daemon blocked on its answers; and it bounds what a lost session
// makes the client send again (at most 128 records, 512 KiB).
inline constexpr std::size_t kStreamWindow = 128;
// Longest input line kept; the rest of a longer line is read and dropped
// (its record then shortened to fit like any long record).
inline constexpr std::size_t kMaxLineBytes = std::size_t{64} * 1024;

// Reads `in_fd` to its end. Returns 0 when every record parsed was taken,
// 2 when some were not (their count on `err`).
int run_stream(const CommandLine& cl, const std::string& socket_path, int in_fd,
               std::FILE* out, std::FILE* err);

}  // namespace quillo

#endif  // QUILLO_CLIENT_STREAM_H_
