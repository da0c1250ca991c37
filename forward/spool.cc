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

namespace {

constexpr char kPositionFile[] = "position";
constexpr char kPositionTemp[] = "position.tmp";
constexpr char kSegmentSuffix[] = ".seg";
constexpr std::size_t kSegmentDigits = 20;
constexpr std::uint64_t kMaxSegmentBytes = 4u << 20;
constexpr std::uint64_t kMinSegmentBytes = 64u << 10;
// Longer than any message the formatter makes: a frame longer than this is
// damage, not data.
constexpr std::size_t kMaxFrame = 64u << 10;

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

enum class Frame { kWhole, kIncomplete, kDamaged };

// Reads the frame "<len> <message>" at the start of `p` (`avail` bytes).
Frame parse_frame(const char* p, std::size_t avail, std::size_t* frame_len) {
  std::size_t len = 0;
  std::size_t i = 0;
  for (; i < avail && p[i] >= '0' && p[i] <= '9'; ++i) {
    len = len * 10 + static_cast<std::size_t>(p[i] - '0');
    if (len > kMaxFrame) return Frame::kDamaged;
  }
  if (i == avail) return i > 7 ? Frame::kDamaged : Frame::kIncomplete;
  if (i == 0 || p[i] != ' ' || len == 0) return Frame::kDamaged;
  if (avail - i - 1 < len) return Frame::kIncomplete;
  *frame_len = i + 1 + len;
  return Frame::kWhole;
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

  for (std::uint64_t seq : seqs) {
    next_seq_ = std::max(next_seq_, seq + 1);
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
    s.rows = count_frames(seq, s.size, &end);
    segments_.push_back(s);
    total_bytes_ += s.size;
  }
  read_seq_ = segments_.empty() ? next_seq_ : segments_.front().seq;
  read_offset_ = 0;
  read_rows_ = 0;
  if (!segments_.empty() && segments_.front().seq == pos_seq) {
    read_rows_ = count_frames(pos_seq, pos_offset, &read_offset_);
  }
  confirmed_ = position();
  dirty_ = false;
  return 0;
}

std::uint64_t Spool::count_frames(std::uint64_t seq, std::uint64_t limit,
                                  std::uint64_t* end) const {
  *end = 0;
  base::UniqueFd fd = open_segment(seq, O_RDONLY);
  if (!fd) return 0;
  std::uint64_t rows = 0;
  std::uint64_t offset = 0;
  constexpr std::size_t kChunk = 1u << 20;
  while (offset < limit) {
    const std::string buf =
        read_at(fd.get(), offset,
                static_cast<std::size_t>(
                    std::min<std::uint64_t>(kChunk, limit - offset)));
    std::size_t at = 0;
    std::size_t len = 0;
    while (parse_frame(buf.data() + at, buf.size() - at, &len) ==
           Frame::kWhole) {
      at += len;
      ++rows;
    }
    if (at == 0) break;  // damaged, or a frame cut at `limit`
    offset += at;
  }
  *end = offset;
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
    std::string buf;
    if (read_fd_) {
      buf = read_at(read_fd_.get(), read_offset_,
                    static_cast<std::size_t>(std::min<std::uint64_t>(
                        s.size - read_offset_, max_bytes + kMaxFrame)));
    }
    std::size_t at = 0;
    std::size_t len = 0;
    while (at < max_bytes && parse_frame(buf.data() + at, buf.size() - at,
                                         &len) == Frame::kWhole) {
      at += len;
      batch.frame_ends.push_back(at);
    }
    if (at == 0) {
      // Damage (or a segment gone from under us): the rest of the segment
      // cannot be read as frames.
      read_offset_ = s.size;
      if (!s.final) return batch;
      continue;
    }
    buf.resize(at);
    batch.segment = s.seq;
    batch.offset = read_offset_;
    batch.bytes = std::move(buf);
    return batch;
  }
  return batch;
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
