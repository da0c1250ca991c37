#include "query/line_reader.h"

#include <unistd.h>

#include <cstring>

#include "base/eintr.h"

namespace quillo_query {
namespace {

constexpr std::size_t kBufferSize = 1 << 20;
constexpr char kMark[] = "\xEF\xBB\xBF";
constexpr std::size_t kMarkSize = sizeof kMark - 1;

}  // namespace

LineReader::LineReader() : buffer_(kBufferSize) {}

bool LineReader::read(int fd, FileCursor* cursor, LineSink& sink) {
  if (cursor->refused) return true;
  // buffer_[0] holds the byte at file offset cursor->offset.
  std::size_t have = 0;
  for (;;) {
    if (have == buffer_.size()) buffer_.resize(buffer_.size() * 2);
    const ssize_t n = base::retry_eintr([&] {
      return ::pread(
          fd, buffer_.data() + have, buffer_.size() - have,
          static_cast<off_t>(cursor->offset) + static_cast<off_t>(have));
    });
    if (n < 0) return false;
    if (n == 0) return true;
    have += static_cast<std::size_t>(n);
    std::size_t used = 0;
    if (cursor->offset == 0) {
      if (have < kMarkSize) continue;
      if (std::memcmp(buffer_.data(), kMark, kMarkSize) != 0) {
        cursor->refused = true;
        return true;
      }
      used = kMarkSize;
      cursor->offset = static_cast<int64_t>(kMarkSize);
      have -= kMarkSize;
      std::memmove(buffer_.data(), buffer_.data() + used, have);
    }
    used = scan(have, cursor, sink);
    // The unfinished tail moves to the front; it is read again with the
    // bytes that follow it.
    have -= used;
    if (used > 0 && have > 0) {
      std::memmove(buffer_.data(), buffer_.data() + used, have);
    }
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
    const bool crlf = nl > p && nl[-1] == '\r';
    const char* text_end = crlf ? nl - 1 : nl;
    sink.line(std::string_view(p, static_cast<std::size_t>(text_end - p)),
              ++cursor->lines, crlf);
    p = nl + 1;
  }
  const std::size_t used = static_cast<std::size_t>(p - begin);
  cursor->offset += static_cast<int64_t>(used);
  return used;
}

}  // namespace quillo_query
