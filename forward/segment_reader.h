// The reading side of the spool's segment files. A segment holds frames
// "<len> <message>" back to back (octet_counted_frame() makes them): `len`
// is the message's length in decimal, 1 to kMaxSpoolMessage, without a
// leading zero.
//
// Nothing in a frame checks its bytes, so damage shows only in the headers:
// one that does not parse, or a frame that ends where no header starts.
// The reader then steps to the next frame start: the first place after the
// damage where a header parses, its message begins with '<' (the PRI every
// message in the spool begins with) and frames follow back to back,
// kSyncFrames of them or up to the end. Inside a damaged frame's own
// message such a place is most unlikely but not impossible: a row's text
// could spell frames.
//
// Every decision depends only on the bytes from a piece's start to the end
// of the segment, never on where a read began, so readers that start at
// the same piece see the same pieces (open() counts a segment's rows with
// one, peek() sends them with another). The cost is linear in the bytes
// read; a read takes at most max(window, 1 MiB) bytes of memory.
//
//   SegmentReader reader(fd, 0, size, 64 << 10);
//   std::uint64_t len;
//   for (;;) {
//     const SegmentReader::Piece piece = reader.next(&len);
//     if (piece == SegmentReader::Piece::kEnd) break;
//     if (piece == SegmentReader::Piece::kFrame) use(reader.bytes(len), len);
//     reader.skip(len);
//   }

#ifndef QUILLO_FORWARD_SEGMENT_READER_H_
#define QUILLO_FORWARD_SEGMENT_READER_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace quillo {

// Longer than any message the formatter makes: a longer frame is damage.
inline constexpr std::size_t kMaxSpoolMessage = 64u << 10;

class SegmentReader {
 public:
  enum class Piece {
    kFrame,   // a whole frame
    kDamage,  // bytes that are not frames, up to the next frame start or
              // the end: the rows of at least one frame
    kTail,    // a frame the end cuts short, as a crash in an append leaves
    kEnd,     // nothing more
  };

  // Reads `fd` (not owned; it must outlive the reader) from `offset` up to
  // `end`, the segment's spooled end, taking at least `window` bytes a read.
  SegmentReader(int fd, std::uint64_t offset, std::uint64_t end,
                std::size_t window);
  SegmentReader(const SegmentReader&) = delete;
  SegmentReader& operator=(const SegmentReader&) = delete;

  // The piece at offset(), with its length in `*len` (0 for kEnd). A read
  // that fails or comes up short ends the segment where it stopped.
  Piece next(std::uint64_t* len);
  // The `len` bytes at offset(), after next() gave a frame of that length;
  // valid until the next call.
  const char* bytes(std::uint64_t len);
  // Moves past `len` bytes (a piece next() gave).
  void skip(std::uint64_t len) { offset_ += len; }
  std::uint64_t offset() const { return offset_; }

 private:
  // Points `*p` at the file's bytes from `at` and returns how many there
  // are: at least `need`, unless the end comes first. Reads as needed.
  std::size_t view(std::uint64_t at, std::size_t need, const char** p);
  // The first frame start at or after `from`, or the end.
  std::uint64_t next_frame_start(std::uint64_t from);

  const int fd_;
  const std::size_t window_;
  std::uint64_t offset_;
  std::uint64_t end_;
  std::string buf_;  // the file's bytes from buf_at_
  std::uint64_t buf_at_ = 0;
};

}  // namespace quillo

#endif  // QUILLO_FORWARD_SEGMENT_READER_H_
