#include "forward/spool_folder.h"

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
#include <utility>

#include "base/eintr.h"
#include "base/write_all.h"
#include "forward/segment_reader.h"

namespace quillo {
namespace {

constexpr char kPositionFile[] = "position";
constexpr char kPositionTemp[] = "position.tmp";
constexpr char kSegmentSuffix[] = ".seg";
constexpr std::size_t kSegmentDigits = 20;

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

// `name` below the folder `dir`, opened with `flags` (O_NOFOLLOW,
// O_NONBLOCK and O_CLOEXEC added), when it is a regular file.
base::UniqueFd open_regular(int dir, const char* name, int flags) {
  base::UniqueFd fd(base::retry_eintr([&] {
    return ::openat(dir, name, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                    0600);
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

int SpoolFolder::open() {
  if (::mkdir(dir_.c_str(), 0700) != 0 && errno != EEXIST) return -1;
  base::UniqueFd dir(
      ::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir) return -1;
  dir_fd_ = std::move(dir);
  return 0;
}

std::string SpoolFolder::segment_path(std::uint64_t seq) const {
  return dir_ + "/" + segment_name(seq);
}

base::UniqueFd SpoolFolder::open_segment(std::uint64_t seq, int flags) const {
  return open_regular(dir_fd_.get(), segment_name(seq).c_str(), flags);
}

void SpoolFolder::remove_segment(std::uint64_t seq) const {
  ::unlinkat(dir_fd_.get(), segment_name(seq).c_str(), 0);
}

int SpoolFolder::list_segments(std::vector<std::uint64_t>* seqs) const {
  seqs->clear();
  base::UniqueFd list(::fcntl(dir_fd_.get(), F_DUPFD_CLOEXEC, 0));
  if (!list) return -1;
  std::unique_ptr<DIR, int (*)(DIR*)> d(::fdopendir(list.get()), &::closedir);
  if (!d) return -1;
  list.release();  // owned by the DIR now
  ::rewinddir(d.get());
  while (const dirent* e = ::readdir(d.get())) {
    if (const std::uint64_t seq = segment_seq(e->d_name)) seqs->push_back(seq);
  }
  std::sort(seqs->begin(), seqs->end());
  return 0;
}

SpoolPlace SpoolFolder::read_position() const {
  SpoolPlace place;
  const base::UniqueFd fd =
      open_regular(dir_fd_.get(), kPositionFile, O_RDONLY);
  if (!fd) return place;
  const std::string text = read_at(fd.get(), 0, 64);
  unsigned long long s = 0, o = 0;
  if (std::sscanf(text.c_str(), "%llu %llu", &s, &o) == 2) {
    place.seq = s;
    place.offset = o;
  }
  return place;
}

int SpoolFolder::write_position(const SpoolPlace& place) const {
  char text[64];
  const int n = std::snprintf(text, sizeof(text), "%" PRIu64 " %" PRIu64 "\n",
                              place.seq, place.offset);
  base::UniqueFd fd =
      open_regular(dir_fd_.get(), kPositionTemp, O_WRONLY | O_CREAT | O_TRUNC);
  if (!fd) return -1;
  if (!base::write_all(fd.get(), text, static_cast<std::size_t>(n))) return -1;
  fd.reset();
  return ::renameat(dir_fd_.get(), kPositionTemp, dir_fd_.get(), kPositionFile);
}

std::uint64_t SpoolFolder::count_rows(int fd, std::uint64_t size,
                                      std::uint64_t limit, std::uint64_t* end) {
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

}  // namespace quillo
