// Reading the lines of a log file that may still be growing.
//
// A log file is the byte order mark, then lines each ending in CR LF
// (logstore/log_row.h). The writer appends whole lines, but a reader can
// meet the last one half written: only lines with their line feed are
// handed on, and the cursor stays before the rest, so the next read starts
// there. The folders
// are world-writable, so a file may hold anything, a hole of zeros as
// large as the disk allows included: lines are bounded, and reading one
// costs no more memory than the buffer.

#ifndef QUILLO_READER_LINE_READER_H_
#define QUILLO_READER_LINE_READER_H_

#include <cstdint>
#include <string_view>
#include <vector>

namespace quillo {

// The longest line handed on, with its line end. A row is at most a few
// KiB; anything longer is damage.
inline constexpr std::size_t kMaxLineLength = 64 * 1024;

// How far one file has been read.
struct FileCursor {
  int64_t offset = 0;    // bytes consumed: the mark and complete lines
  int64_t lines = 0;     // complete lines consumed
  bool refused = false;  // not a log file: never read again
  // Inside a line longer than kMaxLineLength: the bytes up to its line
  // feed are skipped as they come.
  bool skipping = false;
};

// Receives the complete lines of a file.
class LineSink {
 public:
  virtual ~LineSink() = default;
  // `text` is the line without its line end; `number` counts from 1 at
  // the first line after the mark; `crlf` is false when the line ended in
  // a bare LF. `text` lives until the call returns.
  virtual void line(std::string_view text, int64_t number, bool crlf) = 0;
  // Line `number` is longer than kMaxLineLength: it is not handed on, and
  // its bytes are skipped up to its line feed. Called once per such line,
  // as soon as it is known; a sink that does not override it drops the
  // line silently.
  virtual void too_long(int64_t /*number*/) {}
};

// Reads through one reusable buffer of 1 MiB, whatever the files hold: a
// line longer than kMaxLineLength is reported to the sink and skipped.
// Single-threaded.
class LineReader {
 public:
  LineReader();

  // Hands every complete line of `fd` from `cursor` on to `sink` and moves
  // the cursor past them. A file that does not begin with the byte order
  // mark is refused (cursor->refused) and nothing of it is handed on.
  // Returns false, with errno set, when a read fails.
  bool read(int fd, FileCursor* cursor, LineSink& sink);

  // The bytes the reader holds, whatever the files hold.
  std::size_t buffer_size() const { return buffer_.size(); }

 private:
  // Hands on the complete lines of buffer_[0, have) and counts them;
  // returns the bytes they take.
  std::size_t scan(std::size_t have, FileCursor* cursor, LineSink& sink);
  // Moves the cursor past the first `count` of the `*have` bytes held and
  // the rest to the front.
  void consume(std::size_t count, std::size_t* have, FileCursor* cursor);

  std::vector<char> buffer_;
};

}  // namespace quillo

#endif  // QUILLO_READER_LINE_READER_H_
