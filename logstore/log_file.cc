#include "logstore/log_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <string>

#include "base/ascii.h"
#include "base/eintr.h"
#include "base/unique_fd.h"
#include "logstore/log_names.h"

namespace {

// A state file is a name and a number; anything much larger is not ours.
constexpr size_t kMaxStateBytes = size_t{64} * 1024;

bool read_all(int fd, std::string* out) {
  char buffer[4096];
  while (out->size() < kMaxStateBytes) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
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
    const ssize_t n = ::pwrite(fd, data.data() + done, data.size() - done,
                               static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void truncate_retry(const std::string& path, int64_t size) {
  base::retry_eintr(
      [&] { return ::truncate(path.c_str(), static_cast<off_t>(size)); });
}

// Makes a log directory with mode 0777 whatever the umask. Failures show up
// later as a file that cannot be opened.
void make_log_dir(const std::string& path) {
  if (file_exists(path)) return;
  ::mkdir(path.c_str(), 0777);
  ::chmod(path.c_str(), 0777);
}

// Size of `path` in *size; false when stat() fails.
bool stat_size(const std::string& path, int64_t* size) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  *size = static_cast<int64_t>(st.st_size);
  return true;
}

}  // namespace

LogFile::LogFile(const std::string& base_dir, const std::string& kind_dir,
                 const std::string& prefix, const std::string& suffix,
                 const std::string& state_dir)
    : base_dir(base_dir),
      log_dir(join_path(base_dir, kind_dir)),
      prefix(prefix),
      suffix(suffix),
      state_path(join_path(state_dir, prefix + "info")) {}

LogFile::~LogFile() = default;

int LogFile::write_line(int64_t t, const std::string& line) {
  if (!file_exists(base_dir)) return 1;
  auto_delete(t);
  prepare_file(t);
  if (current_path.empty()) return 1;
  if (!append_line(line)) return 1;
  // Only a state file edited by hand can bring the count near the limit.
  if (line_count < INT32_MAX) ++line_count;
  save_state();
  return 0;
}

void LogFile::prepare_file(int64_t t) {
  if (current_name.empty()) load_state();
  const std::string month_dir = join_path(log_dir, format_month_dir(t));
  const std::string name = choose_file_name(t);
  const std::string path = join_path(month_dir, name);

  int64_t size = -1;
  const bool exists = stat_size(path, &size);
  if (name != current_name || !exists) {
    current_name = name;
    line_count = 0;
    save_state();
    if (is_open()) close();
    clear();
  }
  current_path = path;
  if (is_open()) {
    file_size_ = size;
    return;
  }
  // An existing file implies both of its directories.
  if (!exists) {
    make_log_dir(log_dir);
    make_log_dir(month_dir);
  }
  // A file that did not exist is empty once opened.
  if (!open_current(exists ? size : 0)) {
    current_path.clear();
    file_size_ = -1;
  }
}

// Opens current_path for appending, sets its mode and starts an empty file
// with the byte order mark. `size` is the file's length as stat() found it
// just before (the daemon is its only writer), which saves asking the
// stream for its position; file_size_ receives the length after the mark.
bool LogFile::open_current(int64_t size) {
  open(current_path, std::ios::out | std::ios::app | std::ios::binary);
  if (!is_open()) {
    clear();
    return false;
  }
  ::chmod(current_path.c_str(), 0666);
  if (size > 0) {
    file_size_ = size;
    return true;
  }
  write(kByteOrderMark, sizeof kByteOrderMark - 1);
  flush();
  if (good()) {
    file_size_ = static_cast<int64_t>(sizeof kByteOrderMark - 1);
    return true;
  }
  // A byte order mark that did not fit must not stay half written.
  close();
  clear();
  truncate_retry(current_path, 0);
  return false;
}

// Appends line + CR LF and flushes. On failure the file is cut back to its
// previous length and the stream closed, so that the next line reopens it.
bool LogFile::append_line(const std::string& line) {
  write(line.data(), static_cast<std::streamsize>(line.size()));
  write(kLineEnd, sizeof kLineEnd - 1);
  flush();
  if (good()) {
    file_size_ += static_cast<int64_t>(line.size() + sizeof kLineEnd - 1);
    return true;
  }
  // Close before cutting: closing flushes what the failed write left in the
  // stream buffer, and that must not land after the cut.
  close();
  clear();
  if (file_size_ >= 0) truncate_retry(current_path, file_size_);
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
      [&] { return ::open(state_path.c_str(), O_RDONLY | O_CLOEXEC); }));
  if (fd.get() < 0) return;
  std::string text;
  if (!read_all(fd.get(), &text)) return;
  state_size_ = static_cast<int64_t>(text.size());
  const size_t end = text.find('\n');
  current_name = text.substr(0, end);
  line_count =
      end == std::string::npos ? 0 : base::parse_leading_int32(text, end + 1);
}

// Rewritten in place rather than replaced, so that the file keeps its owner
// and mode; the cut after the write drops any longer old content.
void LogFile::save_state() {
  const std::string text =
      current_name + "\n" + std::to_string(line_count) + "\n";
  const base::UniqueFd fd(base::retry_eintr([&] {
    return ::open(state_path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  }));
  if (fd.get() < 0) return;
  const int64_t before = state_size_;
  state_size_ = -1;
  if (!pwrite_all(fd.get(), text)) return;
  // The cut is needed only when the old content may have been longer.
  const int64_t written = static_cast<int64_t>(text.size());
  if (before < 0 || before > written) {
    base::retry_eintr(
        [&] { return ::ftruncate(fd.get(), static_cast<off_t>(written)); });
  }
  state_size_ = written;
}
