#include "reader/line_reader.h"

#include <unistd.h>

#include <cstring>

#include "base/eintr.h"
#include "logstore/log_row.h"

namespace quillo {
namespace {

constexpr std::size_t kBufferSize = 1 << 20;
static_assert(kBufferSize > kMaxLineLength, "a whole line must fit");

}  // namespace

LineReader::LineReader() : buffer_(kBufferSize) {}

bool LineReader::read(int fd, FileCursor* cursor, LineSink& sink) {
  if (cursor->refused) return true;
  // buffer_[0] holds the byte at file offset cursor->offset. What is left
  // between reads is a line shorter than kMaxLineLength, so the buffer
  // always has room for more.
  std::size_t have = 0;
  for (;;) {
    const ssize_t n = base::retry_eintr([&] {
      return ::pread(
          fd, buffer_.data() + have, buffer_.size() - have,
          static_cast<off_t>(cursor->offset) + static_cast<off_t>(have));
    });
    if (n < 0) return false;
    if (n == 0) return true;
    have += static_cast<std::size_t>(n);
    if (cursor->offset == 0) {
      if (have < kByteOrderMarkSize) continue;
      if (std::memcmp(buffer_.data(), kByteOrderMark, kByteOrderMarkSize) !=
          0) {
        cursor->refused = true;
        return true;
      }
      cursor->offset = static_cast<int64_t>(kByteOrderMarkSize);
      have -= kByteOrderMarkSize;
      std::memmove(buffer_.data(), buffer_.data() + kByteOrderMarkSize, have);
    }
    if (cursor->skipping) {
      const char* nl =
          static_cast<const char*>(std::memchr(buffer_.data(), '\n', have));
      const std::size_t skipped =
          nl == nullptr ? have
                        : static_cast<std::size_t>(nl - buffer_.data()) + 1;
      consume(skipped, &have, cursor);
      if (nl == nullptr) continue;
      cursor->skipping = false;
    }
    const std::size_t used = scan(have, cursor, sink);
    consume(used, &have, cursor);
    if (have >= kMaxLineLength) {
      // No line feed yet, and the line is too long already: reported now,
      // once, and skipped from here to its end.
      sink.too_long(++cursor->lines);
      cursor->skipping = true;
      consume(have, &have, cursor);
    }
  }
}

void LineReader::consume(std::size_t count, std::size_t* have,
                         FileCursor* cursor) {
  cursor->offset += static_cast<int64_t>(count);
  *have -= count;
  if (count > 0 && *have > 0) {
    std::memmove(buffer_.data(), buffer_.data() + count, *have);
  }
}

std::size_t LineReader::scan(std::size_t have, FileCursor* cursor,
                             LineSink& sink) {
  const char* const begin = buffer_.data();
  const char* p = begin;
  const char* const end = begin + have;
  while (p < end) {
    const char* nl = static_cast<const char*>(
        std::memchr(p, '\n', static_cast<size_t>(end - p)));
    if (nl == nullptr) break;
    if (static_cast<std::size_t>(nl - p) + 1 > kMaxLineLength) {
      sink.too_long(++cursor->lines);
    } else {
      const bool crlf = nl > p && nl[-1] == '\r';
      const char* text_end = crlf ? nl - 1 : nl;
      sink.line(std::string_view(p, static_cast<std::size_t>(text_end - p)),
                ++cursor->lines, crlf);
    }
    p = nl + 1;
  }
  return static_cast<std::size_t>(p - begin);
}

}  // namespace quillo
