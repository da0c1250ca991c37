#include "client/stream.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/eintr.h"
#include "client/record_fit.h"
#include "client/session.h"
#include "client/stream_formats.h"
#include "client/stream_replies.h"

namespace quillo {
namespace {

// Splits a descriptor's bytes into lines, each at most kMaxLineBytes.
class InputLines {
 public:
  explicit InputLines(int fd) : fd_(fd) {}

  // Whether next() would read: no whole line is held.
  bool would_wait() const {
    return buffer_.find('\n', start_) == std::string::npos;
  }

  // The next line without its "\n" (a last line without one counts);
  // false at the end of input or on a read error.
  bool next(std::string* line) {
    line->clear();
    bool dropping = false;
    for (;;) {
      const std::size_t end = buffer_.find('\n', start_);
      const std::size_t stop = end == std::string::npos ? buffer_.size() : end;
      if (!dropping) {
        const std::size_t room = kMaxLineBytes - line->size();
        const std::size_t take = std::min(room, stop - start_);
        line->append(buffer_, start_, take);
        if (take < stop - start_) dropping = true;
      }
      if (end != std::string::npos) {
        start_ = end + 1;
        return true;
      }
      buffer_.clear();
      start_ = 0;
      if (!fill()) return !line->empty() || dropping;
    }
  }

 private:
  bool fill() {
    char chunk[65536];
    const ssize_t n =
        base::retry_eintr([&] { return ::read(fd_, chunk, sizeof chunk); });
    if (n <= 0) return false;
    buffer_.assign(chunk, static_cast<std::size_t>(n));
    return true;
  }

  const int fd_;
  std::string buffer_;
  std::size_t start_ = 0;
};

// The request for a parsed record; null, with `parsed` made unparseable
// and saying why, when no fit makes room for it: such a line would never
// be taken either.
std::unique_ptr<quillo::RequestData> request_for(ParsedLine* parsed) {
  try {
    return build_record(parsed->record.access, parsed->record.fields);
  } catch (const std::length_error& e) {
    parsed->kind = ParsedLine::kUnparseable;
    parsed->reason = e.what();
    return nullptr;
  }
}

// Hands one input line to `replies`: a transaction mark, a record, or a
// line that is never sent (reported on `err` with its number).
void take_line(const CommandLine& cl, const std::string& line,
               unsigned long number, StreamReplies* replies, std::FILE* err) {
  if (cl.transactions && line == kBeginTransactionMark) {
    replies->begin_mark();
    return;
  }
  if (cl.transactions && line == kCommitTransactionMark) {
    replies->commit_mark();
    return;
  }
  ParsedLine parsed = cl.format == CommandLine::SambaAudit
                          ? parse_samba_audit_line(line)
                          : parse_fields_line(line);
  std::unique_ptr<quillo::RequestData> record;
  if (parsed.kind == ParsedLine::kRecord) record = request_for(&parsed);
  if (!record) {
    // Never going to succeed: confirmed, so that it is not sent again.
    std::fprintf(
        err, "quillo-send: line %lu %s: %s\n", number,
        parsed.kind == ParsedLine::kSkipped ? "skipped" : "unparseable",
        parsed.reason.c_str());
    std::fflush(err);
    replies->line_done();
    return;
  }
  if (parsed.unknown_error_text) {
    std::fprintf(err, "quillo-send: line %lu: unknown error text, errno 0\n",
                 number);
    std::fflush(err);
  }
  replies->record(std::move(record));
}

}  // namespace

int run_stream(const CommandLine& cl, const std::string& socket_path, int in_fd,
               std::FILE* out, std::FILE* err) {
  SessionSender sender(socket_path, kRecordBound, err);
  StreamReplies replies(&sender, kStreamWindow, out, cl.confirm, err);
  replies.ready();
  InputLines reader(in_fd);
  std::string line;
  unsigned long number = 0;
  for (;;) {
    if (reader.would_wait()) replies.before_wait();
    if (!reader.next(&line)) break;
    take_line(cl, line, ++number, &replies, err);
  }
  replies.finish();
  const unsigned long not_taken = replies.not_taken();
  if (not_taken == 0) return 0;
  std::fprintf(err, "quillo-send: %lu records not taken\n", not_taken);
  return 2;
}

}  // namespace quillo
