// The state file of LogFile, its check against the file it names, and the
// choice of the file a line goes to.

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

#include "base/ascii.h"
#include "base/console.h"
#include "base/eintr.h"
#include "base/local_fields.h"
#include "base/unique_fd.h"
#include "base/write_all.h"
#include "logstore/file_name.h"
#include "logstore/log_file.h"
#include "logstore/log_names.h"
#include "logstore/log_row.h"
#include "logstore/tree_io.h"

namespace quillo {
namespace {

using tree_io::cut_back;
using tree_io::identity_of;
using tree_io::is_regular;
using tree_io::kNoFollow;

// A state file is a name and a number; anything much larger is not ours.
constexpr size_t kMaxStateBytes = size_t{64} * 1024;

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

// The month folder of a file of ours: its stamp's year and month.
std::string month_of(const std::string& name, LogKind kind) {
  RowTimeFields stamp;
  if (!parse_log_file_name(name, kind, &stamp)) return std::string();
  return std::string(name, std::strlen(kind_info(kind).prefix), 6);
}

// Larger than any file of ours of kMaxLinesPerFile lines: one larger is
// not read through, and is taken for full.
constexpr std::int64_t kMaxCheckedBytes = std::int64_t{256} << 20;

// What a log file holds: its whole lines (each ended by CR LF; the byte
// order mark is none) and where the last of them ends.
struct LineScan {
  std::int64_t lines = 0;
  std::int64_t whole_end = 0;
};

// Reads the file `fd` through; false when a read fails.
bool scan_lines(int fd, LineScan* scan) {
  char buffer[65536];
  std::int64_t at = 0;
  bool after_cr = false;
  for (;;) {
    const ssize_t n = base::retry_eintr([&] {
      return ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(at));
    });
    if (n < 0) return false;
    if (n == 0) return true;
    for (ssize_t i = 0; i < n; ++i) {
      if (after_cr && buffer[i] == '\n') {
        ++scan->lines;
        scan->whole_end = at + i + 1;
      }
      after_cr = buffer[i] == '\r';
    }
    // A file that begins with the mark and no line ends after the mark.
    if (at == 0 && scan->lines == 0 &&
        static_cast<std::size_t>(n) >= kByteOrderMarkSize &&
        std::memcmp(buffer, kByteOrderMark, kByteOrderMarkSize) == 0) {
      scan->whole_end = static_cast<std::int64_t>(kByteOrderMarkSize);
    }
    at += n;
  }
}

}  // namespace

// Opened for reading and cutting, without following a link; whatever is
// not a regular file is left for the open of the first line to refuse.
void LogFile::check_named_file() {
  if (current_name.empty()) {
    state_checked_ = true;
    return;
  }
  const base::UniqueFd root(base::retry_eintr([&] {
    return ::open(base_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }));
  if (!root) return;  // checked once the root is there
  state_checked_ = true;
  const std::string month = month_of(current_name, kind);
  const base::UniqueFd fd(tree_io::open_leaf(root.get(), kind_folder_, month,
                                             current_name, O_RDWR | kNoFollow));
  struct stat st;
  if (!fd || !is_regular(fd.get(), &st)) return;
  const std::string path = join_path(join_path(log_dir, month), current_name);
  LineScan scan;
  if (st.st_size > kMaxCheckedBytes) {
    scan.lines = kMaxLinesPerFile;  // no more lines go to it
  } else if (!scan_lines(fd.get(), &scan)) {
    return;
  } else if (scan.whole_end < static_cast<std::int64_t>(st.st_size)) {
    cut_back(fd.get(), scan.whole_end);
    base::complain("Log file ended in an unfinished line, cut back: " + path +
                   "\n");
  }
  const std::int64_t lines = std::min<std::int64_t>(scan.lines, INT32_MAX);
  if (lines == line_count) return;
  base::complain("Log file holds " + std::to_string(lines) +
                 " lines, its state said " + std::to_string(line_count) + ": " +
                 path + "\n");
  line_count = static_cast<int32_t>(lines);
  save_state();
}

std::string LogFile::choose_file_name(int64_t t) const {
  return file_name_for(t, line_count);
}

bool LogFile::takes_line(int64_t t, int64_t pending) const {
  return file_name_for(t, static_cast<int64_t>(line_count) + pending) ==
         current_name;
}

std::string LogFile::file_name_for(int64_t t, int64_t count) const {
  std::string candidate = log_file_name(kind, t);
  if (current_name.empty() || count > kMaxLinesPerFile - 1) {
    return candidate;
  }
  RowTimeFields stamp;
  if (!parse_log_file_name(current_name, kind, &stamp)) return candidate;
  struct tm now;
  if (!base::local_fields(t, &now)) return candidate;
  if (stamp.year == now.tm_year + 1900 && stamp.month == now.tm_mon + 1) {
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
  // no more than a state file edited by hand, and a name that is not one
  // of this kind's file names is not used.
  std::string text;
  if (!read_all(fd.get(), &text)) return;
  state_size_ = static_cast<int64_t>(text.size());
  const size_t end = text.find('\n');
  current_name = text.substr(0, end);
  RowTimeFields stamp;
  if (!parse_log_file_name(current_name, kind, &stamp)) current_name.clear();
  line_count =
      end == std::string::npos ? 0 : base::parse_leading_int32(text, end + 1);
  if (last_path_.empty() && !current_name.empty()) {
    last_path_ =
        join_path(join_path(log_dir, month_of(current_name, kind)), current_name);
  }
}

// True while the state file kept open is still the one at its path, as
// this writer left it.
bool LogFile::state_in_place() const {
  if (!state_fd_) return false;
  struct stat st;
  return ::fstatat(AT_FDCWD, state_path.c_str(), &st, AT_SYMLINK_NOFOLLOW) ==
             0 &&
         identity_of(st) == state_id_ && st.st_size == state_seen_size_ &&
         st.st_ctim.tv_sec == state_seen_change_.tv_sec &&
         st.st_ctim.tv_nsec == state_seen_change_.tv_nsec;
}

void LogFile::note_state_saved() {
  struct stat st;
  if (::fstat(state_fd_.get(), &st) != 0) {
    state_fd_.reset();
    return;
  }
  state_id_ = identity_of(st);
  state_seen_size_ = st.st_size;
  state_seen_change_ = st.st_ctim;
}

// Rewritten in place rather than replaced, so that the file keeps its owner
// and mode; the cut after the write drops any longer old content.
void LogFile::save_state() {
  const std::string text =
      current_name + "\n" + std::to_string(line_count) + "\n";
  // A state file kept open was found in place when the line began.
  if (!state_fd_) {
    state_fd_.reset(base::retry_eintr([&] {
      return ::open(state_path.c_str(), O_WRONLY | O_CREAT | kNoFollow, 0666);
    }));
    if (!state_fd_) {
      if (errno == ELOOP || errno == ENXIO)
        refuse(state_path, "not a regular file");
      return;
    }
  }
  // A FIFO opened here takes no pwrite(); a folder does not open.
  const int64_t before = state_size_;
  state_size_ = -1;
  if (!base::pwrite_all(state_fd_.get(), text.data(), text.size(), 0)) {
    state_fd_.reset();
    return;
  }
  // The cut is needed only when the old content may have been longer.
  const int64_t written = static_cast<int64_t>(text.size());
  if (before < 0 || before > written) cut_back(state_fd_.get(), written);
  state_size_ = written;
  note_state_saved();
}

}  // namespace quillo
