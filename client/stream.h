// `quillo-send --stream`: every record of an input stream, one per line,
// sent to the daemon one connection each, with rsyslog omprog's
// confirmation protocol on request.
//
// With confirmation, "OK" is written once when ready, then one line per
// input line, each flushed at once: "OK" when the daemon took the record,
// and also for a line that can never succeed (unparseable or skipped:
// reported on the error stream with its line number); an "Error: ..." line
// otherwise (the daemon unreachable, no answer, "not stored"), so that
// rsyslog keeps the message and sends it again. Each record's exchange
// with the daemon is bounded to kRecordBound, well below omprog's
// confirmation time-out.

#ifndef QUILLO_CLIENT_STREAM_H_
#define QUILLO_CLIENT_STREAM_H_

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <string>

#include "client/options.h"

namespace quillo {

inline constexpr std::chrono::seconds kRecordBound{5};
// Longest input line kept; the rest of a longer line is read and dropped
// (its record then shortened to fit like any long record).
inline constexpr std::size_t kMaxLineBytes = std::size_t{64} * 1024;

// Reads `in_fd` to its end. Returns 0 when every record parsed was taken,
// 2 when some were not (their count on `err`).
int run_stream(const CommandLine& cl, const std::string& socket_path, int in_fd,
               std::FILE* out, std::FILE* err);

}  // namespace quillo

#endif  // QUILLO_CLIENT_STREAM_H_
