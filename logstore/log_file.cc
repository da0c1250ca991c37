#include "logstore/log_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <linux/openat2.h>
#include <string>

#include "base/ascii.h"
#include "base/console.h"
#include "base/eintr.h"
#include "base/unique_fd.h"
#include "logstore/log_names.h"

namespace {

// A state file is a name and a number; anything much larger is not ours.
constexpr size_t kMaxStateBytes = size_t{64} * 1024;

// Flags for files we did not make: no link is followed, and a FIFO planted
// in a file's place fails at once (ENXIO) or is found by fstat() instead of
// blocking the open.
constexpr int kNoFollow = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool read_all(int fd, std::string* out) {
  char buffer[4096];
  while (out->size() < kMaxStateBytes) {
    const ssize_t n =
        base::retry_eintr([&] { return ::read(fd, buffer, sizeof buffer); });
    if (n < 0) return false;
    out->append(buffer, static_cast<size_t>(n));
    // A regular file reads short only at its end: no second read for it.
    if (static_cast<size_t>(n) < sizeof buffer) break;
  }
  return true;
}

bool pwrite_all(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = base::retry_eintr([&] {
      return ::pwrite(fd, data.data() + done, data.size() - done,
                      static_cast<off_t>(done));
    });
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Writes `a` then `b` at the end of `fd` (opened O_APPEND), however short
// the writes come back. False on failure.
bool append_all(int fd, const char* a, size_t a_len, const char* b,
                size_t b_len) {
  iovec parts[2] = {{const_cast<char*>(a), a_len},
                    {const_cast<char*>(b), b_len}};
  iovec* next = parts;
  int count = 2;
  while (count > 0) {
    const ssize_t n =
        base::retry_eintr([&] { return ::writev(fd, next, count); });
    if (n <= 0) return false;
    size_t done = static_cast<size_t>(n);
    while (count > 0 && done >= next->iov_len) {
      done -= next->iov_len;
      ++next;
      --count;
    }
    if (count > 0) {
      next->iov_base = static_cast<char*>(next->iov_base) + done;
      next->iov_len -= done;
    }
  }
  return true;
}

void cut_back(int fd, int64_t size) {
  base::retry_eintr([&] { return ::ftruncate(fd, static_cast<off_t>(size)); });
}

bool is_regular(int fd, struct stat* st) {
  return ::fstat(fd, st) == 0 && S_ISREG(st->st_mode);
}

// Opens `relative` below the folder `dir_fd` in one call when the kernel
// can refuse every link on the way (openat2, Linux 5.6); -1 with errno
// ENOSYS where it cannot, and the caller walks the path itself.
int open_beneath(int dir_fd, const std::string& relative, int flags) {
#ifdef SYS_openat2
  open_how how{};
  how.flags = static_cast<std::uint64_t>(flags);
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_BENEATH;
  return static_cast<int>(base::retry_eintr([&] {
    return ::syscall(SYS_openat2, dir_fd, relative.c_str(), &how, sizeof how);
  }));
#else
  (void)dir_fd;
  (void)relative;
  (void)flags;
  errno = ENOSYS;
  return -1;
#endif
}

}  // namespace

LogFile::LogFile(const std::string& base_dir, const std::string& kind_dir,
                 const std::string& prefix, const std::string& suffix,
                 const std::string& state_dir)
    : base_dir(base_dir),
      kind_dir(kind_dir),
      log_dir(join_path(base_dir, kind_dir)),
      prefix(prefix),
      suffix(suffix),
      state_path(join_path(state_dir, prefix + "info")) {}

LogFile::~LogFile() = default;

int LogFile::write_line(int64_t t, const std::string& line, int64_t now) {
  // A missing log root is found when the file is opened: nothing is made.
  if (base_dir.empty()) return 1;
  // The current file is known before the pass, which must spare it.
  if (current_name.empty()) load_state();
  auto_delete(now);
  prepare_file(t);
  if (current_path.empty()) return 1;
  if (!append_line(line)) return 1;
  // Only a state file edited by hand can bring the count near the limit.
  if (line_count < INT32_MAX) ++line_count;
  save_state();
  return 0;
}

void LogFile::refuse(const std::string& path, const char* what) {
  ++unsafe_entries;
  complain("Not ours, left untouched: " + path + " (" + what + ")\n");
}

int LogFile::open_dir(int parent, const std::string& name,
                      const std::string& path) {
  int fd = base::retry_eintr(
      [&] { return ::openat(parent, name.c_str(), kDirFlags); });
  if (fd >= 0) return fd;
  if (errno == ENOENT) {
    // Made here: its mode is set on what was opened, never by name.
    if (::mkdirat(parent, name.c_str(), 0777) != 0 && errno != EEXIST) {
      return -1;
    }
    fd = base::retry_eintr(
        [&] { return ::openat(parent, name.c_str(), kDirFlags); });
    if (fd >= 0) {
      struct stat st;
      if (::fstat(fd, &st) == 0 && (st.st_mode & 07777) != 0777) {
        ::fchmod(fd, 0777);
      }
      return fd;
    }
  }
  if (errno == ELOOP || errno == ENOTDIR) refuse(path, "not a folder");
  return -1;
}

// Opens `name` in the month folder for appending: an existing regular file
// as it is, otherwise a new one, made here. *existed tells which.
bool LogFile::open_file(int month_fd, const std::string& name, bool* existed) {
  const int flags = O_WRONLY | O_APPEND | kNoFollow;
  *existed = true;
  file_.reset(base::retry_eintr(
      [&] { return ::openat(month_fd, name.c_str(), flags); }));
  if (!file_ && errno == ENOENT) {
    *existed = false;
    file_.reset(base::retry_eintr([&] {
      return ::openat(month_fd, name.c_str(), flags | O_CREAT | O_EXCL, 0666);
    }));
  }
  if (!file_) {
    // A link (ELOOP), a FIFO without reader (ENXIO), a folder (EISDIR), or
    // a name taken between the two opens (EEXIST): not ours.
    if (errno == ELOOP || errno == ENXIO || errno == EISDIR ||
        errno == EEXIST) {
      refuse(current_path, "not a regular file");
    }
    return false;
  }
  struct stat st;
  if (!is_regular(file_.get(), &st)) {
    file_.reset();
    refuse(current_path, "not a regular file");
    return false;
  }
  if ((st.st_mode & 07777) != 0666) ::fchmod(file_.get(), 0666);
  file_size_ = static_cast<int64_t>(st.st_size);
  return true;
}

// A file that is empty gets its byte order mark; false (the file cut back
// to empty and closed) when the mark does not fit.
bool LogFile::start_file() {
  if (file_size_ > 0) return true;
  if (append_all(file_.get(), kByteOrderMark, sizeof kByteOrderMark - 1,
                 nullptr, 0)) {
    file_size_ = static_cast<int64_t>(sizeof kByteOrderMark - 1);
    return true;
  }
  // A byte order mark that did not fit must not stay half written.
  cut_back(file_.get(), 0);
  file_.reset();
  file_size_ = -1;
  return false;
}

void LogFile::prepare_file(int64_t t) {
  if (current_name.empty()) load_state();
  const std::string month = format_month_dir(t);
  const std::string name = choose_file_name(t);
  current_path = join_path(join_path(log_dir, month), name);

  // The file open for the previous line serves again while it is still in
  // the tree (a file deleted meanwhile has no links left).
  if (file_ && open_path_ == current_path && name == current_name) {
    struct stat st;
    if (::fstat(file_.get(), &st) == 0 && st.st_nlink > 0) {
      file_size_ = static_cast<int64_t>(st.st_size);
      return;
    }
  }
  file_.reset();
  open_path_.clear();
  file_size_ = -1;

  bool existed = true;
  const base::UniqueFd root(base::retry_eintr([&] {
    return ::open(base_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }));
  // The usual case, an existing file in existing folders, in one call that
  // follows no link; anything else takes the walk below.
  if (root) {
    file_.reset(open_beneath(root.get(), kind_dir + "/" + month + "/" + name,
                             O_WRONLY | O_APPEND | kNoFollow));
    struct stat st;
    if (file_ && is_regular(file_.get(), &st)) {
      if ((st.st_mode & 07777) != 0666) ::fchmod(file_.get(), 0666);
      file_size_ = static_cast<int64_t>(st.st_size);
      if (!start_file()) file_.reset();
    } else {
      file_.reset();
    }
  }
  if (root && !file_) {
    const base::UniqueFd kind(open_dir(root.get(), kind_dir, log_dir));
    if (kind) {
      const base::UniqueFd month_fd(
          open_dir(kind.get(), month, join_path(log_dir, month)));
      if (month_fd && open_file(month_fd.get(), name, &existed) &&
          !start_file()) {
        file_.reset();
      }
    }
  }
  if (!file_) {
    current_path.clear();
    return;
  }
  open_path_ = current_path;
  if (name != current_name || !existed) {
    current_name = name;
    line_count = 0;
    save_state();
  }
}

// Appends line + CR LF. On failure the file is cut back to its previous
// length and closed, so that the next line opens it again.
bool LogFile::append_line(const std::string& line) {
  if (append_all(file_.get(), line.data(), line.size(), kLineEnd,
                 sizeof kLineEnd - 1)) {
    file_size_ += static_cast<int64_t>(line.size() + sizeof kLineEnd - 1);
    return true;
  }
  if (file_size_ >= 0) cut_back(file_.get(), file_size_);
  file_.reset();
  open_path_.clear();
  file_size_ = -1;
  return false;
}

std::string LogFile::choose_file_name(int64_t t) const {
  std::string candidate = prefix + format_file_stamp(t) + suffix;
  if (current_name.empty() || line_count > kMaxLinesPerFile - 1) {
    return candidate;
  }
  const std::string stamp = extract_stamp(current_name, prefix);
  if (stamp.empty()) return candidate;
  const struct tm current = stamp_to_time(stamp);
  const time_t value = static_cast<time_t>(t);
  struct tm now;
  if (localtime_r(&value, &now) == nullptr) return candidate;
  if (current.tm_year == now.tm_year && current.tm_mon == now.tm_mon) {
    return current_name;
  }
  return candidate;
}

void LogFile::load_state() {
  const base::UniqueFd fd(base::retry_eintr(
      [&] { return ::open(state_path.c_str(), O_RDONLY | kNoFollow); }));
  if (!fd) {
    if (errno == ELOOP || errno == ENXIO)
      refuse(state_path, "not a regular file");
    return;
  }
  // O_NONBLOCK keeps a FIFO from blocking the read; what it could give is
  // no more than a state file edited by hand, and a name that is not a
  // plain file name is not used.
  std::string text;
  if (!read_all(fd.get(), &text)) return;
  state_size_ = static_cast<int64_t>(text.size());
  const size_t end = text.find('\n');
  current_name = text.substr(0, end);
  if (current_name.find('/') != std::string::npos || current_name == "." ||
      current_name == "..") {
    current_name.clear();
  }
  line_count =
      end == std::string::npos ? 0 : base::parse_leading_int32(text, end + 1);
}

// Rewritten in place rather than replaced, so that the file keeps its owner
// and mode; the cut after the write drops any longer old content.
void LogFile::save_state() {
  const std::string text =
      current_name + "\n" + std::to_string(line_count) + "\n";
  const base::UniqueFd fd(base::retry_eintr([&] {
    return ::open(state_path.c_str(), O_WRONLY | O_CREAT | kNoFollow, 0666);
  }));
  if (!fd) {
    if (errno == ELOOP || errno == ENXIO)
      refuse(state_path, "not a regular file");
    return;
  }
  // A FIFO opened here takes no pwrite(); a folder does not open.
  const int64_t before = state_size_;
  state_size_ = -1;
  if (!pwrite_all(fd.get(), text)) return;
  // The cut is needed only when the old content may have been longer.
  const int64_t written = static_cast<int64_t>(text.size());
  if (before < 0 || before > written) cut_back(fd.get(), written);
  state_size_ = written;
}
