// The reader's side of the spool: taking in the segments a restart finds,
// and reading frames from the send position. The files are read with the
// spool's mutex free; what was read is applied to the table under it, and
// forgotten when the writer dropped the segment meanwhile.

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <utility>

#include "forward/segment_reader.h"
#include "forward/spool.h"

namespace quillo {
namespace {

// A batch's read: its bytes and room to judge the frame after them.
constexpr std::size_t kBatchView = kMaxSpoolMessage + 64;

}  // namespace

bool Spool::needs_scan() const {
  MutexLock hold(mu_);
  return listing_.has_value();
}

Spool::Segment Spool::scan_segment(std::uint64_t seq) const {
  Segment s;
  const base::UniqueFd fd = folder_.open_segment(seq, O_RDONLY);
  struct stat st;
  if (!fd || ::fstat(fd.get(), &st) != 0) return s;  // not ours: left alone
  s.seq = seq;
  s.size = static_cast<std::uint64_t>(st.st_size);
  std::uint64_t end = 0;
  s.rows = SpoolFolder::count_rows(fd.get(), s.size, s.size, &end);
  return s;
}

void Spool::scan() {
  Listing listing;
  {
    MutexLock hold(mu_);
    if (!listing_) return;
    listing = std::move(*listing_);
    listing_.reset();
  }
  read_fd_.reset();
  const std::vector<std::uint64_t>& seqs = listing.seqs;
  const SpoolPlace place = listing.place;
  std::deque<Segment> found;
  for (const std::uint64_t seq : seqs) {
    if (seq < place.seq) {
      folder_.remove_segment(seq);  // sent before the daemon stopped
    } else if (const Segment s = scan_segment(seq); s.seq != 0) {
      found.push_back(s);
    }
  }
  std::optional<Position> start;
  if (!found.empty() && found.front().seq == place.seq) {
    start = Position{place.seq, 0, 0};
    const base::UniqueFd fd = folder_.open_segment(place.seq, O_RDONLY);
    if (fd) {
      start->rows = SpoolFolder::count_rows(fd.get(), found.front().size,
                                            place.offset, &start->offset);
    }
  }
  install(std::move(found), start, listing.stale);
}

void Spool::install(std::deque<Segment> found, std::optional<Position> start,
                    bool stale) {
  MutexLock hold(mu_);
  for (const Segment& s : found) add_total(s.size);
  // Every segment written since prepare() is numbered past these.
  segments_.insert(segments_.begin(), found.begin(), found.end());
  if (start) {
    read_ = *start;
  } else {
    read_ =
        Position{segments_.empty() ? next_seq_ : segments_.front().seq, 0, 0};
  }
  confirmed_ = read_;
  damage_seen_ = Position{};
  // A dropped position is written anew at the next persist().
  dirty_ = stale;
}

bool Spool::next_to_read(Read* read) {
  for (const Segment& s : segments_) {
    if (s.seq < read_.seq) continue;  // sent, awaiting confirmation
    if (read_.seq != s.seq) read_ = Position{s.seq, 0, 0};
    if (read_.offset >= s.size) {
      if (!s.final) return false;  // everything sent; more may come
      continue;
    }
    read->segment = s;
    read->offset = read_.offset;
    return true;
  }
  return false;
}

void Spool::read_frames(std::size_t max_bytes, Read* read) {
  const Segment& s = read->segment;
  if (!read_fd_ || read_fd_seq_ != s.seq) {
    read_fd_ = folder_.open_segment(s.seq, O_RDONLY);
    read_fd_seq_ = s.seq;
  }
  std::uint64_t at = read->offset;
  if (read_fd_) {
    SegmentReader reader(read_fd_.get(), at, s.size, max_bytes + kBatchView);
    while (read->bytes.size() < max_bytes) {
      std::uint64_t len = 0;
      const SegmentReader::Piece piece = reader.next(&len);
      if (piece == SegmentReader::Piece::kFrame) {
        read->bytes.append(reader.bytes(len), static_cast<std::size_t>(len));
        read->frame_ends.push_back(read->bytes.size());
        reader.skip(len);
        continue;
      }
      // A batch is one run of frames: what is not a frame waits for the
      // next peek().
      if (!read->bytes.empty() || piece == SegmentReader::Piece::kEnd) break;
      // Damage, or the tail of a frame a crash cut short (no row was
      // answered for it: its log line came after it).
      read->steps.push_back(Step{len, piece == SegmentReader::Piece::kDamage});
      reader.skip(len);
    }
    at = reader.offset();
  }
  // A file gone from under us, or shorter than its committed size: the
  // rest is gone.
  if (read->bytes.empty() && at < s.size) {
    read->steps.push_back(Step{s.size - at, false});
  }
}

bool Spool::apply(Read* read, Batch* batch) {
  if (read_.seq != read->segment.seq || read_.offset != read->offset) {
    return false;  // the limit dropped the segment meanwhile
  }
  for (const Step& step : read->steps)
    step_over(read->segment.seq, step, batch);
  if (read->bytes.empty()) return true;
  batch->segment = read->segment.seq;
  batch->offset = read_.offset;
  batch->rows = read_.rows;
  batch->bytes = std::move(read->bytes);
  batch->frame_ends = std::move(read->frame_ends);
  return true;
}

Spool::Batch Spool::peek(std::size_t max_bytes) {
  Batch batch;
  max_bytes = std::max<std::size_t>(max_bytes, 1);
  for (;;) {
    Read read;
    std::vector<std::uint64_t> doomed;
    bool found;
    {
      MutexLock hold(mu_);
      take_confirmed(&doomed);
      found = listing_ ? false : next_to_read(&read);
    }
    remove_files(doomed);
    if (!found) return batch;
    read_frames(max_bytes, &read);
    MutexLock hold(mu_);
    if (!apply(&read, &batch)) continue;
    if (!batch.bytes.empty() || !read.segment.final) return batch;
  }
}

void Spool::step_over(std::uint64_t seq, const Step& step, Batch* batch) {
  // With nothing sent and unconfirmed before it, the stretch is settled
  // too: it is not met again after a restart.
  const bool settled =
      confirmed_.seq == read_.seq && confirmed_.offset == read_.offset;
  const bool seen =
      seq < damage_seen_.seq ||
      (seq == damage_seen_.seq && read_.offset < damage_seen_.offset);
  if (step.damage) {
    if (!seen) {
      if (batch->damaged_rows == 0) {
        batch->damaged_segment = seq;
        batch->damaged_offset = read_.offset;
      }
      ++batch->damaged_rows;
      damage_seen_ = Position{seq, read_.offset + step.len, 0};
    }
    ++read_.rows;
  }
  read_.offset += step.len;
  if (settled) {
    confirmed_ = read_;
    dirty_ = true;
  }
}

}  // namespace quillo
