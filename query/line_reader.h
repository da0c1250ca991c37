// Reading the lines of a log file that may still be growing.
//
// A log file is the byte order mark EF BB BF, then lines each ending in
// CR LF. The writer appends whole lines, but a reader can meet the last one
// half written: only lines with their line feed are handed on, and the
// cursor stays before the rest, so the next read starts there.

#ifndef QUILLO_QUERY_LINE_READER_H_
#define QUILLO_QUERY_LINE_READER_H_

#include <cstdint>
#include <string_view>
#include <vector>

namespace quillo_query {

// How far one file has been read.
struct FileCursor {
  int64_t offset = 0;    // bytes consumed: the mark and complete lines
  int64_t lines = 0;     // complete lines consumed
  bool refused = false;  // not a log file: never read again
};

// Receives the complete lines of a file.
class LineSink {
 public:
  virtual ~LineSink() = default;
  // `text` is the line without its line end; `number` counts from 1 at
  // the first line after the mark; `crlf` is false when the line ended in
  // a bare LF. `text` lives until the call returns.
  virtual void line(std::string_view text, int64_t number, bool crlf) = 0;
};

// Reads through one reusable buffer (1 MiB, grown for longer lines).
// Single-threaded.
class LineReader {
 public:
  LineReader();

  // Hands every complete line of `fd` from `cursor` on to `sink` and moves
  // the cursor past them. A file that does not begin with the byte order
  // mark is refused (cursor->refused) and nothing of it is handed on.
  // Returns false, with errno set, when a read fails.
  bool read(int fd, FileCursor* cursor, LineSink& sink);

 private:
  // Consumes the complete lines of buffer_[0, have); returns the bytes
  // used.
  std::size_t scan(std::size_t have, FileCursor* cursor, LineSink& sink);

  std::vector<char> buffer_;
};

}  // namespace quillo_query

#endif  // QUILLO_QUERY_LINE_READER_H_
