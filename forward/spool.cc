#include "forward/spool.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "base/eintr.h"
#include "forward/segment_reader.h"

namespace {

constexpr char kPositionFile[] = "position";
constexpr char kPositionTemp[] = "position.tmp";
constexpr char kSegmentSuffix[] = ".seg";
constexpr std::size_t kSegmentDigits = 20;
constexpr std::uint64_t kMaxSegmentBytes = 4u << 20;
constexpr std::uint64_t kMinSegmentBytes = 64u << 10;
// A batch's read: its bytes and room to judge the frame after them.
constexpr std::size_t kBatchView = kMaxSpoolMessage + 64;

std::string segment_name(std::uint64_t seq) {
  char name[64];
  std::snprintf(name, sizeof(name), "%020" PRIu64 "%s", seq, kSegmentSuffix);
  return name;
}

// The number of a segment file's name, or 0 when the name is not one.
std::uint64_t segment_seq(const char* name) {
  const std::size_t n = std::strlen(name);
  if (n != kSegmentDigits + std::strlen(kSegmentSuffix) ||
      std::strcmp(name + kSegmentDigits, kSegmentSuffix) != 0) {
    return 0;
  }
  std::uint64_t seq = 0;
  for (std::size_t i = 0; i < kSegmentDigits; ++i) {
    if (name[i] < '0' || name[i] > '9') return 0;
    seq = seq * 10 + static_cast<std::uint64_t>(name[i] - '0');
  }
  return seq;
}

int write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n =
        base::retry_eintr([&] { return ::write(fd, data, size); });
    if (n < 0) return -1;
    if (n == 0) {
      errno = EIO;
      return -1;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

int pwrite_all(int fd, const char* data, std::size_t size, std::uint64_t at) {
  while (size > 0) {
    const ssize_t n = base::retry_eintr(
        [&] { return ::pwrite(fd, data, size, static_cast<off_t>(at)); });
    if (n < 0) return -1;
    if (n == 0) {
      errno = EIO;
      return -1;
    }
    data += n;
    at += static_cast<std::uint64_t>(n);
    size -= static_cast<std::size_t>(n);
  }
  return 0;
}

// Reads up to `size` bytes at `offset`; returns the bytes read.
std::string read_at(int fd, std::uint64_t offset, std::size_t size) {
  std::string buf(size, '\0');
  std::size_t got = 0;
  while (got < size) {
    const ssize_t n = base::retry_eintr([&] {
      return ::pread(fd, &buf[got], size - got,
                     static_cast<off_t>(offset + got));
    });
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  buf.resize(got);
  return buf;
}

}  // namespace

Spool::Spool(std::string dir, std::uint64_t max_bytes) : dir_(std::move(dir)) {
  set_max_bytes(max_bytes);
}

std::string Spool::segment_path(std::uint64_t seq) const {
  return dir_ + "/" + segment_name(seq);
}

void Spool::set_max_bytes(std::uint64_t max_bytes) {
  max_bytes_ = std::max<std::uint64_t>(max_bytes, 4 * kMinSegmentBytes);
  segment_bytes_ = std::clamp<std::uint64_t>(max_bytes_ / 4, kMinSegmentBytes,
                                             kMaxSegmentBytes);
}

base::UniqueFd Spool::open_segment(std::uint64_t seq, int flags) const {
  base::UniqueFd fd(base::retry_eintr([&] {
    return ::openat(dir_fd_.get(), segment_name(seq).c_str(),
                    flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  }));
  if (!fd) return fd;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return base::UniqueFd();
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return base::UniqueFd();
  }
  return fd;
}

int Spool::open() {
  if (::mkdir(dir_.c_str(), 0700) != 0 && errno != EEXIST) return -1;
  base::UniqueFd dir(
      ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir) return -1;
  dir_fd_ = std::move(dir);
  segments_.clear();
  write_fd_.reset();
  read_fd_.reset();
  total_bytes_ = 0;

  std::vector<std::uint64_t> seqs;
  base::UniqueFd list(::fcntl(dir_fd_.get(), F_DUPFD_CLOEXEC, 0));
  if (!list) return -1;
  std::unique_ptr<DIR, int (*)(DIR*)> d(::fdopendir(list.get()), &::closedir);
  if (!d) return -1;
  list.release();  // owned by the DIR now
  ::rewinddir(d.get());
  while (const dirent* e = ::readdir(d.get())) {
    if (const std::uint64_t seq = segment_seq(e->d_name)) seqs.push_back(seq);
  }
  std::sort(seqs.begin(), seqs.end());

  // The position: "<segment> <offset>"; without one, from the oldest.
  std::uint64_t pos_seq = 0, pos_offset = 0;
  {
    base::UniqueFd fd(base::retry_eintr([&] {
      return ::openat(dir_fd_.get(), kPositionFile,
                      O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    }));
    struct stat st;
    if (fd && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode)) {
      const std::string text = read_at(fd.get(), 0, 64);
      unsigned long long s = 0, o = 0;
      if (std::sscanf(text.c_str(), "%llu %llu", &s, &o) == 2) {
        pos_seq = s;
        pos_offset = o;
      }
    }
  }

  // A new segment is numbered past every segment there and past the
  // recorded one, so that no row spooled from now on can lie before the
  // position and be taken for sent.
  const std::uint64_t newest = seqs.empty() ? 0 : seqs.back();
  next_seq_ = std::max({next_seq_, newest + 1, pos_seq + 1});
  // Normally the position names a segment there, or lies at the start of
  // the one after the newest (all sent). One past every segment with rows
  // said sent, or with older segments only, was left by segments removed
  // behind the daemon's back, and the segments there are newer than it:
  // nothing of them was sent.
  stale_position_.reset();
  const bool named = std::binary_search(seqs.begin(), seqs.end(), pos_seq);
  if (!named && newest <= pos_seq &&
      (pos_offset > 0 || (!seqs.empty() && seqs.front() < pos_seq))) {
    stale_position_ = Position{pos_seq, pos_offset, 0};
    pos_seq = 0;
    pos_offset = 0;
  }

  for (std::uint64_t seq : seqs) {
    if (seq < pos_seq) {
      // Sent before the daemon stopped.
      ::unlinkat(dir_fd_.get(), segment_name(seq).c_str(), 0);
      continue;
    }
    base::UniqueFd fd = open_segment(seq, O_RDONLY);
    struct stat st;
    if (!fd || ::fstat(fd.get(), &st) != 0) continue;  // not ours: left alone
    Segment s;
    s.seq = seq;
    s.size = static_cast<std::uint64_t>(st.st_size);
    std::uint64_t end = 0;
    s.rows = count_rows(fd.get(), s.size, s.size, &end);
    segments_.push_back(s);
    total_bytes_ += s.size;
  }
  read_seq_ = segments_.empty() ? next_seq_ : segments_.front().seq;
  read_offset_ = 0;
  read_rows_ = 0;
  if (!segments_.empty() && segments_.front().seq == pos_seq) {
    base::UniqueFd fd = open_segment(pos_seq, O_RDONLY);
    if (fd) {
      read_rows_ = count_rows(fd.get(), segments_.front().size, pos_offset,
                              &read_offset_);
    }
  }
  confirmed_ = position();
  damage_seen_ = Position{};
  // A dropped position is written anew at the next persist().
  dirty_ = stale_position_.has_value();
  return 0;
}

std::uint64_t Spool::count_rows(int fd, std::uint64_t size, std::uint64_t limit,
                                std::uint64_t* end) {
  // Read as peek() will read it, from the segment's start to its end, so
  // both see the same frames and damage.
  SegmentReader reader(fd, 0, size, 1u << 20);
  std::uint64_t rows = 0;
  for (;;) {
    std::uint64_t len = 0;
    const SegmentReader::Piece piece = reader.next(&len);
    if (piece == SegmentReader::Piece::kEnd ||
        piece == SegmentReader::Piece::kTail || reader.offset() + len > limit) {
      break;
    }
    ++rows;  // a frame, or at least one in a damaged stretch
    reader.skip(len);
  }
  *end = reader.offset();
  return rows;
}

void Spool::remove_front() {
  const Segment s = segments_.front();
  segments_.pop_front();
  ::unlinkat(dir_fd_.get(), segment_name(s.seq).c_str(), 0);
  total_bytes_ -= s.size;
  if (read_fd_seq_ == s.seq) read_fd_.reset();
  if (!s.final) write_fd_.reset();
  const std::uint64_t next =
      segments_.empty() ? next_seq_ : segments_.front().seq;
  if (read_seq_ <= s.seq) {
    read_seq_ = next;
    read_offset_ = 0;
    read_rows_ = 0;
  }
  if (confirmed_.seq <= s.seq) {
    confirmed_ = Position{next, 0, 0};
    dirty_ = true;
  }
}

void Spool::remove_confirmed() {
  while (!segments_.empty()) {
    const Segment& s = segments_.front();
    const bool passed = confirmed_.seq > s.seq || (confirmed_.seq == s.seq &&
                                                   confirmed_.offset >= s.size);
    if (!s.final || !passed) return;
    remove_front();
  }
}

int Spool::start_segment() {
  if (!segments_.empty()) segments_.back().final = true;
  write_fd_.reset();
  const std::uint64_t seq = next_seq_;
  base::UniqueFd fd = open_segment(seq, O_WRONLY | O_CREAT | O_EXCL);
  if (!fd) return -1;
  next_seq_ = seq + 1;
  write_fd_ = std::move(fd);
  Segment s;
  s.seq = seq;
  s.final = false;
  segments_.push_back(s);
  return 0;
}

void Spool::drop_to_limit(std::size_t incoming, std::uint64_t* dropped_rows) {
  // The write segment stays: it is a quarter of the limit at most.
  while (total_bytes_ + incoming > max_bytes_ && segments_.size() > 1) {
    const Segment& s = segments_.front();
    // Rows sent but not yet confirmed are not counted: most likely the
    // collector has them.
    const std::uint64_t sent = s.seq < read_seq_    ? s.rows
                               : s.seq == read_seq_ ? read_rows_
                                                    : 0;
    *dropped_rows += s.rows > sent ? s.rows - sent : 0;
    remove_front();
  }
}

int Spool::append(const std::string& frame, std::uint64_t* dropped_rows) {
  if (stage(frame, dropped_rows) != 0) return -1;
  commit();
  return 0;
}

int Spool::stage(const std::string& frame, std::uint64_t* dropped_rows) {
  staged_ = 0;
  if (!dir_fd_) {
    errno = EBADF;
    return -1;
  }
  if (segments_.empty() || segments_.back().final ||
      (segments_.back().size > 0 &&
       segments_.back().size + frame.size() > segment_bytes_)) {
    if (start_segment() != 0) return -1;
  }
  drop_to_limit(frame.size(), dropped_rows);
  Segment& s = segments_.back();
  // Written at the spooled end, over anything a discard could not cut.
  if (pwrite_all(write_fd_.get(), frame.data(), frame.size(), s.size) != 0) {
    const int saved = errno;
    discard_bytes();
    errno = saved;
    return -1;
  }
  staged_ = frame.size();
  return 0;
}

void Spool::commit() {
  if (staged_ == 0 || segments_.empty()) return;
  Segment& s = segments_.back();
  s.size += staged_;
  s.rows++;
  total_bytes_ += staged_;
  staged_ = 0;
}

void Spool::discard() {
  if (staged_ == 0) return;
  staged_ = 0;
  discard_bytes();
}

void Spool::discard_bytes() {
  if (segments_.empty() || !write_fd_) return;
  Segment& s = segments_.back();
  // A frame left behind would be sent after the next open(): cut back.
  if (::ftruncate(write_fd_.get(), static_cast<off_t>(s.size)) != 0) {
    // It stays; nothing more goes into this segment, so the reader stops
    // at its spooled end while the daemon runs.
    s.final = true;
    write_fd_.reset();
  }
}

Spool::Batch Spool::peek(std::size_t max_bytes) {
  Batch batch;
  max_bytes = std::max<std::size_t>(max_bytes, 1);
  remove_confirmed();
  for (Segment& s : segments_) {
    if (s.seq < read_seq_) continue;  // sent, awaiting confirmation
    if (read_seq_ != s.seq) {
      read_seq_ = s.seq;
      read_offset_ = 0;
      read_rows_ = 0;
    }
    if (read_offset_ >= s.size) {
      if (!s.final) return batch;  // everything sent; more may come
      continue;
    }
    if (!read_fd_ || read_fd_seq_ != s.seq) {
      read_fd_ = open_segment(s.seq, O_RDONLY);
      read_fd_seq_ = s.seq;
    }
    if (!read_fd_) {
      // Gone from under us: nothing of it can be read.
      step_over(s, s.size - read_offset_, false, &batch);
      if (!s.final) return batch;
      continue;
    }
    SegmentReader reader(read_fd_.get(), read_offset_, s.size,
                         max_bytes + kBatchView);
    while (batch.bytes.size() < max_bytes) {
      std::uint64_t len = 0;
      const SegmentReader::Piece piece = reader.next(&len);
      if (piece == SegmentReader::Piece::kFrame) {
        if (batch.bytes.empty()) {
          batch.segment = s.seq;
          batch.offset = reader.offset();
        }
        batch.bytes.append(reader.bytes(len), static_cast<std::size_t>(len));
        batch.frame_ends.push_back(batch.bytes.size());
        reader.skip(len);
        continue;
      }
      // A batch is one run of frames: what is not a frame waits for the
      // next peek().
      if (!batch.bytes.empty() || piece == SegmentReader::Piece::kEnd) break;
      // Damage, or the tail of a frame a crash cut short (no row was
      // answered for it: its log line came after it).
      step_over(s, len, piece == SegmentReader::Piece::kDamage, &batch);
      reader.skip(len);
    }
    if (!batch.bytes.empty()) return batch;
    // A file shorter than its spooled size ends early: the rest is gone.
    if (read_offset_ < s.size)
      step_over(s, s.size - read_offset_, false, &batch);
    if (!s.final) return batch;
  }
  return batch;
}

void Spool::step_over(const Segment& s, std::uint64_t len, bool damage,
                      Batch* batch) {
  // With nothing sent and unconfirmed before it, the stretch is settled
  // too: it is not met again after a restart.
  const bool settled =
      confirmed_.seq == read_seq_ && confirmed_.offset == read_offset_;
  const bool seen =
      s.seq < damage_seen_.seq ||
      (s.seq == damage_seen_.seq && read_offset_ < damage_seen_.offset);
  if (damage) {
    if (!seen) {
      if (batch->damaged_rows == 0) {
        batch->damaged_segment = s.seq;
        batch->damaged_offset = read_offset_;
      }
      ++batch->damaged_rows;
      damage_seen_ = Position{s.seq, read_offset_ + len, 0};
    }
    ++read_rows_;
  }
  read_offset_ += len;
  if (settled) {
    confirmed_ = position();
    dirty_ = true;
  }
}

void Spool::advance(const Batch& batch, std::size_t bytes, std::uint64_t rows) {
  if (batch.segment != read_seq_ || batch.offset != read_offset_) return;
  if (bytes == 0) return;
  read_offset_ += bytes;
  read_rows_ += rows;
}

void Spool::confirm(const Position& p) {
  const auto before = [](const Position& a, const Position& b) {
    return a.seq != b.seq ? a.seq < b.seq : a.offset < b.offset;
  };
  if (!before(confirmed_, p) || before(position(), p)) return;
  if (segments_.empty() || p.seq < segments_.front().seq) return;
  confirmed_ = p;
  dirty_ = true;
}

void Spool::rewind() {
  read_seq_ = confirmed_.seq;
  read_offset_ = confirmed_.offset;
  read_rows_ = confirmed_.rows;
}

int Spool::persist() {
  if (!dirty_ || !dir_fd_) return 0;
  char text[64];
  const int n = std::snprintf(text, sizeof(text), "%" PRIu64 " %" PRIu64 "\n",
                              confirmed_.seq, confirmed_.offset);
  base::UniqueFd fd(base::retry_eintr([&] {
    return ::openat(
        dir_fd_.get(), kPositionTemp,
        O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
        0600);
  }));
  if (!fd) return -1;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  if (write_all(fd.get(), text, static_cast<std::size_t>(n)) != 0) return -1;
  fd.reset();
  if (::renameat(dir_fd_.get(), kPositionTemp, dir_fd_.get(), kPositionFile) !=
      0) {
    return -1;
  }
  dirty_ = false;
  return 0;
}

bool Spool::has_unsent() const {
  for (const Segment& s : segments_) {
    if (s.seq > read_seq_ ? s.size > 0
                          : s.seq == read_seq_ && read_offset_ < s.size) {
      return true;
    }
  }
  return false;
}

std::uint64_t Spool::unsent_rows() const {
  std::uint64_t rows = 0;
  for (const Segment& s : segments_) {
    if (s.seq > read_seq_) rows += s.rows;
    if (s.seq == read_seq_ && s.rows > read_rows_) rows += s.rows - read_rows_;
  }
  return rows;
}
