#include "forward/segment_reader.h"

#include <unistd.h>

#include <algorithm>

#include "base/eintr.h"

namespace quillo {
namespace {

// "65536 ": the longest header.
constexpr std::size_t kMaxHeader = 6;
constexpr std::size_t kMaxFrameBytes = kMaxHeader + kMaxSpoolMessage;
// Enough to tell a header that does not parse from one that is cut short.
constexpr std::size_t kHeaderView = kMaxHeader + 2;
// Enough to judge a frame and the header after it.
constexpr std::size_t kFrameView = kMaxFrameBytes + kHeaderView;
// Frames that must follow back to back where the reader steps back in
// after damage, and the bytes needed to see them.
constexpr int kSyncFrames = 3;
constexpr std::size_t kSyncView = kSyncFrames * kMaxFrameBytes + kHeaderView;
// The reads of a search for the next frame start.
constexpr std::size_t kScanWindow = 1u << 20;
static_assert(kScanWindow > 2 * kSyncView, "a scan read decides most of it");

enum class Header { kWhole, kIncomplete, kDamaged };

// Reads the header of the frame at `p` (`avail` bytes); for a whole frame
// sets `*frame_len` (header and message) and `*header_len`.
Header parse_frame(const char* p, std::size_t avail, std::size_t* frame_len,
                   std::size_t* header_len) {
  std::size_t len = 0;
  std::size_t i = 0;
  for (; i < avail && p[i] >= '0' && p[i] <= '9'; ++i) {
    if (i == 0 && p[i] == '0') return Header::kDamaged;  // not written so
    len = len * 10 + static_cast<std::size_t>(p[i] - '0');
    if (len > kMaxSpoolMessage) return Header::kDamaged;
  }
  if (i == avail) return Header::kIncomplete;
  if (i == 0 || p[i] != ' ') return Header::kDamaged;
  if (avail - i - 1 < len) return Header::kIncomplete;
  *frame_len = i + 1 + len;
  *header_len = i + 1;
  return Header::kWhole;
}

// Whether a frame starts at `p`: kSyncFrames frames, each a message that
// begins with '<', follow back to back from it, or fewer up to the end
// (`at_end`: the `avail` bytes reach it), where a cut tail may follow.
bool starts_frame(const char* p, std::size_t avail, bool at_end) {
  std::size_t at = 0;
  for (int k = 0; k < kSyncFrames; ++k) {
    if (k > 0 && at == avail) return at_end;
    std::size_t len = 0, header = 0;
    switch (parse_frame(p + at, avail - at, &len, &header)) {
      case Header::kWhole:
        if (p[at + header] != '<') return false;
        at += len;
        break;
      case Header::kIncomplete:
        return k > 0 && at_end;
      case Header::kDamaged:
        return false;
    }
  }
  return true;
}

}  // namespace

SegmentReader::SegmentReader(int fd, std::uint64_t offset, std::uint64_t end,
                             std::size_t window)
    : fd_(fd), window_(window), offset_(offset), end_(end) {}

std::size_t SegmentReader::view(std::uint64_t at, std::size_t need,
                                const char** p) {
  if (at >= end_) return 0;
  const std::uint64_t buf_end = buf_at_ + buf_.size();
  if (at >= buf_at_ && at < buf_end &&
      (buf_end - at >= need || buf_end == end_)) {
    *p = buf_.data() + (at - buf_at_);
    return static_cast<std::size_t>(buf_end - at);
  }
  const std::size_t want = static_cast<std::size_t>(
      std::min<std::uint64_t>(end_ - at, std::max(need, window_)));
  buf_.resize(want);
  std::size_t got = 0;
  while (got < want) {
    const ssize_t n = base::retry_eintr([&] {
      return ::pread(fd_, &buf_[got], want - got, static_cast<off_t>(at + got));
    });
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  buf_.resize(got);
  buf_at_ = at;
  // The file ends before the segment should: so does the segment, which
  // keeps every later decision the same for every reader.
  if (got < want) end_ = at + got;
  *p = buf_.data();
  return got;
}

std::uint64_t SegmentReader::next_frame_start(std::uint64_t from) {
  std::uint64_t at = from;
  while (at < end_) {
    const char* p = nullptr;
    const std::size_t avail = view(at, kScanWindow, &p);
    if (avail == 0) break;
    const bool at_end = at + avail == end_;
    // Places with a whole kSyncView after them are decided here; the rest
    // in the next read, which starts at them.
    const std::size_t decided = at_end ? avail : avail - kSyncView;
    for (std::size_t i = 0; i < decided; ++i) {
      if (p[i] >= '1' && p[i] <= '9' && starts_frame(p + i, avail - i, at_end))
        return at + i;
    }
    at += decided;
  }
  return end_;
}

SegmentReader::Piece SegmentReader::next(std::uint64_t* len) {
  *len = 0;
  const char* p = nullptr;
  const std::size_t avail = view(offset_, kFrameView, &p);
  if (avail == 0) return Piece::kEnd;
  std::size_t frame = 0, header = 0;
  switch (parse_frame(p, avail, &frame, &header)) {
    case Header::kWhole: {
      std::size_t next_len = 0;
      if (frame == avail || parse_frame(p + frame, avail - frame, &next_len,
                                        &header) != Header::kDamaged) {
        *len = frame;
        return Piece::kFrame;
      }
      // It ends where no frame starts: its own length is wrong, or the
      // next header is. A frame start inside it says it was its own.
      const std::uint64_t next = next_frame_start(offset_ + 1);
      *len = next < offset_ + frame ? next - offset_ : frame;
      return next < offset_ + frame ? Piece::kDamage : Piece::kFrame;
    }
    case Header::kIncomplete: {
      // Only the end cuts a frame short (a view holds the longest frame):
      // a crash in an append, unless whole frames follow inside the bytes
      // its length claims.
      const std::uint64_t next = next_frame_start(offset_ + 1);
      *len = next - offset_;
      return next < end_ ? Piece::kDamage : Piece::kTail;
    }
    case Header::kDamaged:
      break;
  }
  *len = next_frame_start(offset_ + 1) - offset_;
  return Piece::kDamage;
}

const char* SegmentReader::bytes(std::uint64_t len) {
  const char* p = nullptr;
  view(offset_, static_cast<std::size_t>(len), &p);
  return p;
}

}  // namespace quillo
