#include "forward/spool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "base/write_all.h"

namespace quillo {
namespace {

constexpr std::uint64_t kMaxSegmentBytes = 4u << 20;
constexpr std::uint64_t kMinSegmentBytes = 64u << 10;

bool before(const Spool::Position& a, const Spool::Position& b) {
  return a.seq != b.seq ? a.seq < b.seq : a.offset < b.offset;
}

}  // namespace

Spool::Spool(std::string dir, std::uint64_t max_bytes)
    : folder_(std::move(dir)) {
  set_max_bytes(max_bytes);
}

int Spool::open() {
  if (prepare() != 0) return -1;
  scan();
  return 0;
}

bool Spool::is_open() const {
  MutexLock hold(mu_);
  return open_;
}

void Spool::add_total(std::uint64_t bytes) {
  total_bytes_ += bytes;
  total_seen_ = total_bytes_;
}

void Spool::sub_total(std::uint64_t bytes) {
  total_bytes_ -= bytes;
  total_seen_ = total_bytes_;
}

std::uint64_t Spool::unsent_rows() const {
  MutexLock hold(mu_);
  std::uint64_t rows = 0;
  for (const Segment& s : segments_) {
    if (s.seq > read_.seq) rows += s.rows;
    if (s.seq == read_.seq && s.rows > read_.rows) rows += s.rows - read_.rows;
  }
  return rows;
}

bool Spool::has_unsent() const {
  MutexLock hold(mu_);
  for (const Segment& s : segments_) {
    if (s.seq > read_.seq ? s.size > 0
                          : s.seq == read_.seq && read_.offset < s.size) {
      return true;
    }
  }
  return false;
}

void Spool::set_max_bytes(std::uint64_t max_bytes) {
  MutexLock hold(mu_);
  max_bytes_ = std::max<std::uint64_t>(max_bytes, 4 * kMinSegmentBytes);
  segment_bytes_ = std::clamp<std::uint64_t>(max_bytes_ / 4, kMinSegmentBytes,
                                             kMaxSegmentBytes);
}

void Spool::remove_files(const std::vector<std::uint64_t>& seqs) const {
  for (const std::uint64_t seq : seqs) folder_.remove_segment(seq);
}

void Spool::pop_front() {
  const Segment s = segments_.front();
  segments_.pop_front();
  sub_total(s.size);
  const std::uint64_t next =
      segments_.empty() ? next_seq_ : segments_.front().seq;
  if (read_.seq <= s.seq) read_ = Position{next, 0, 0};
  if (confirmed_.seq <= s.seq) {
    confirmed_ = Position{next, 0, 0};
    dirty_ = true;
  }
}

void Spool::take_confirmed(std::vector<std::uint64_t>* doomed) {
  while (!segments_.empty()) {
    const Segment& s = segments_.front();
    const bool passed = confirmed_.seq > s.seq || (confirmed_.seq == s.seq &&
                                                   confirmed_.offset >= s.size);
    if (!s.final || !passed) return;
    doomed->push_back(s.seq);
    pop_front();
  }
}

void Spool::take_to_limit(std::size_t incoming, std::uint64_t* dropped_rows,
                          std::vector<std::uint64_t>* doomed) {
  // The write segment stays: it is a quarter of the limit at most.
  while (total_bytes_ + incoming > max_bytes_ && segments_.size() > 1) {
    const Segment& s = segments_.front();
    // Rows sent but not yet confirmed are not counted: most likely the
    // collector has them.
    const std::uint64_t sent = s.seq < read_.seq    ? s.rows
                               : s.seq == read_.seq ? read_.rows
                                                    : 0;
    *dropped_rows += s.rows > sent ? s.rows - sent : 0;
    doomed->push_back(s.seq);
    pop_front();
  }
}

int Spool::prepare() {
  if (!folder_.is_open() && folder_.open() != 0) return -1;
  Listing listing;
  if (folder_.list_segments(&listing.seqs) != 0) return -1;
  listing.place = folder_.read_position();
  // A new segment is numbered past every segment there and past the
  // recorded one, so that no row spooled from now on can lie before the
  // position and be taken for sent.
  const std::uint64_t newest = listing.seqs.empty() ? 0 : listing.seqs.back();
  const std::uint64_t first = std::max(newest, listing.place.seq) + 1;
  stale_position_ = drop_stale(&listing);
  write_fd_.reset();
  MutexLock hold(mu_);
  next_seq_ = std::max(next_seq_, first);
  segments_.clear();
  sub_total(total_bytes_);
  listing_ = std::move(listing);
  open_ = true;
  return 0;
}

std::optional<Spool::Position> Spool::drop_stale(Listing* listing) {
  const std::vector<std::uint64_t>& seqs = listing->seqs;
  const SpoolPlace place = listing->place;
  // Normally the position names a segment there, or lies at the start of
  // the one after the newest (all sent). One past every segment with rows
  // said sent, or with older segments only, was left by segments removed
  // behind the daemon's back, and the segments there are newer than it:
  // nothing of them was sent.
  const std::uint64_t newest = seqs.empty() ? 0 : seqs.back();
  const bool named = std::binary_search(seqs.begin(), seqs.end(), place.seq);
  if (named || newest > place.seq ||
      (place.offset == 0 && (seqs.empty() || seqs.front() >= place.seq))) {
    return std::nullopt;
  }
  listing->place = SpoolPlace{};
  listing->stale = true;
  return Position{place.seq, place.offset, 0};
}

int Spool::start_segment() {
  std::uint64_t seq;
  {
    MutexLock hold(mu_);
    if (!segments_.empty()) segments_.back().final = true;
    seq = next_seq_;
  }
  write_fd_.reset();
  base::UniqueFd fd = folder_.open_segment(seq, O_WRONLY | O_CREAT | O_EXCL);
  if (!fd) return -1;
  write_fd_ = std::move(fd);
  write_end_ = 0;
  MutexLock hold(mu_);
  next_seq_ = seq + 1;
  Segment s;
  s.seq = seq;
  s.final = false;
  segments_.push_back(s);
  return 0;
}

int Spool::stage(const std::string& frame, std::uint64_t* dropped_rows) {
  if (staged_lost_) {
    errno = EIO;
    return -1;
  }
  std::vector<std::uint64_t> doomed;
  bool fresh;
  {
    MutexLock hold(mu_);
    if (!open_) {
      errno = EBADF;
      return -1;
    }
    // Frames staged together share a segment: a new one only before the
    // first.
    fresh = staged_frames_.empty() &&
            (segments_.empty() || segments_.back().final ||
             (write_end_ > 0 && write_end_ + frame.size() > segment_bytes_));
    // The oldest segments go after a new one is started: it stays.
    if (!fresh) take_to_limit(staged_ + frame.size(), dropped_rows, &doomed);
  }
  if (fresh) {
    if (start_segment() != 0) return -1;
    MutexLock hold(mu_);
    take_to_limit(frame.size(), dropped_rows, &doomed);
  }
  remove_files(doomed);
  // Written after the staged frames, over anything a discard could not cut.
  if (!base::pwrite_all(write_fd_.get(), frame.data(), frame.size(),
                        write_end_ + staged_)) {
    const int saved = errno;
    discard_bytes(staged_);
    errno = saved;
    return -1;
  }
  staged_ += frame.size();
  staged_frames_.push_back(frame);
  return 0;
}

void Spool::forget_staged() {
  staged_ = 0;
  staged_frames_.clear();
}

void Spool::count_in(std::uint64_t bytes, std::uint64_t rows) {
  forget_staged();
  staged_lost_ = false;
  if (rows == 0) return;
  write_end_ += bytes;
  MutexLock hold(mu_);
  Segment& s = segments_.back();
  s.size += bytes;
  s.rows += rows;
  add_total(bytes);
}

void Spool::commit() { count_in(staged_, staged_frames_.size()); }

void Spool::discard() {
  const bool any = staged_ > 0;
  forget_staged();
  staged_lost_ = false;
  if (any) discard_bytes(0);
}

std::size_t Spool::commit_kept(const std::vector<bool>& keep) {
  const std::size_t kept =
      static_cast<std::size_t>(std::count(keep.begin(), keep.end(), true));
  if (keep.size() != staged_frames_.size() || kept == 0) {
    discard();
    return 0;
  }
  if (kept == keep.size()) {
    commit();
    return kept;
  }
  std::string text;
  for (std::size_t i = 0; i < keep.size(); ++i) {
    if (keep[i]) text += staged_frames_[i];
  }
  // From the committed end: the frames before the first one taken back
  // are written over themselves, the later kept ones move up.
  if (!base::pwrite_all(write_fd_.get(), text.data(), text.size(),
                        write_end_)) {
    discard();
    return 0;
  }
  discard_bytes(text.size());
  if (!write_fd_) {  // the cut failed: the segment is final, the rows lost
    staged_lost_ = false;
    return 0;
  }
  count_in(text.size(), kept);
  return kept;
}

void Spool::discard_bytes(std::uint64_t keep) {
  if (!write_fd_) return;
  // A frame left behind would be sent after the next open(): cut back.
  const off_t end = static_cast<off_t>(write_end_ + keep);
  if (::ftruncate(write_fd_.get(), end) == 0) return;
  // It stays; nothing more goes into this segment, so the reader stops at
  // its committed end while the daemon runs. What was staged is lost.
  write_fd_.reset();
  if (staged_ > 0) staged_lost_ = true;
  forget_staged();
  MutexLock hold(mu_);
  if (!segments_.empty()) segments_.back().final = true;
}

int Spool::append(const std::string& frame, std::uint64_t* dropped_rows) {
  if (stage(frame, dropped_rows) != 0) return -1;
  commit();
  return 0;
}

void Spool::advance(const Batch& batch, std::size_t bytes, std::uint64_t rows) {
  MutexLock hold(mu_);
  if (batch.segment != read_.seq || batch.offset != read_.offset) return;
  if (bytes == 0) return;
  read_.offset += bytes;
  read_.rows += rows;
}

Spool::Position Spool::position() const {
  MutexLock hold(mu_);
  return read_;
}

void Spool::confirm(const Position& p) {
  MutexLock hold(mu_);
  confirm_locked(p);
}

void Spool::confirm_sent() {
  MutexLock hold(mu_);
  confirm_locked(read_);
}

void Spool::confirm_locked(const Position& p) {
  if (!before(confirmed_, p) || before(read_, p)) return;
  if (segments_.empty() || p.seq < segments_.front().seq) return;
  confirmed_ = p;
  dirty_ = true;
}

void Spool::rewind() {
  MutexLock hold(mu_);
  read_ = confirmed_;
}

int Spool::persist() {
  SpoolPlace place;
  {
    MutexLock hold(mu_);
    // Nothing is known of the folder's positions before the scan.
    if (!dirty_ || !open_ || listing_) return 0;
    place = SpoolPlace{confirmed_.seq, confirmed_.offset};
    dirty_ = false;
  }
  if (folder_.write_position(place) == 0) return 0;
  const int saved = errno;
  MutexLock hold(mu_);
  dirty_ = true;  // written again next time
  errno = saved;
  return -1;
}

}  // namespace quillo
