#include "logstore/log_file.h"

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
#include <string_view>
#include <vector>

#include "base/ascii.h"
#include "base/console.h"
#include "base/eintr.h"
#include "base/unique_fd.h"
#include "base/write_all.h"
#include "logstore/file_name.h"
#include "logstore/log_names.h"
#include "logstore/log_row.h"
#include "logstore/tree_io.h"

namespace quillo {
namespace {

using tree_io::cut_back;
using tree_io::identity_of;
using tree_io::is_regular;
using tree_io::kDirFlags;
using tree_io::kNoFollow;
using tree_io::open_beneath;
using tree_io::open_leaf;

// What `kind/month/name` below `root` is, following no link on the way;
// false when it cannot be found.
bool stat_beneath(int root, const std::string& kind, const std::string& month,
                  const std::string& name, struct stat* st) {
  const base::UniqueFd fd(
      open_leaf(root, kind, month, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  return fd && ::fstat(fd.get(), st) == 0;
}

}  // namespace

LogFile::LogFile(LogKind kind, const std::string& log_root,
                 const std::string& state_dir)
    : kind(kind),
      base_dir(log_root),
      log_dir(join_path(log_root, kind_info(kind).folder)),
      state_path(join_path(state_dir, state_file_name(kind))),
      kind_folder_(kind_info(kind).folder) {}

LogFile::~LogFile() = default;

void LogFile::set_root(const std::string& log_root) {
  if (log_root == base_dir) return;
  base_dir = log_root;
  log_dir = join_path(log_root, kind_folder_);
  close_file();
}

int LogFile::write_line(int64_t t, const std::string& line, int64_t now) {
  if (!begin_line(t, now)) return 1;
  return finish_line(line) ? 0 : 1;
}

bool LogFile::begin_line(int64_t t, int64_t now, Roll* roll) {
  // A missing log root is found when the file is opened: nothing is made.
  if (base_dir.empty()) return false;
  // What is on disk decides once the state file is not the one this
  // writer keeps (first line, or removed or replaced since); the current
  // file is known before the pass, which must spare it.
  if (!state_in_place()) {
    state_fd_.reset();
    state_size_ = -1;
    current_name.clear();
    line_count = 0;
    load_state();
    if (!state_checked_) check_named_file();
  }
  auto_delete(now);
  prepare_file(t, roll);
  return !current_path.empty();
}

bool LogFile::finish_line(const std::string& line) {
  if (!append_counted(line)) return false;
  save_state();
  return true;
}

bool LogFile::append_counted(const std::string& line) {
  if (!append_line(line)) return false;
  // Only a state file edited by hand can bring the count near the limit.
  if (line_count < INT32_MAX) ++line_count;
  return true;
}

void LogFile::refuse(const std::string& path, const char* what) {
  ++unsafe_entries;
  base::complain("Not ours, left untouched: " + path + " (" + what + ")\n");
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
  if (base::write_all(file_.get(), kByteOrderMark, kByteOrderMarkSize)) {
    file_size_ = static_cast<int64_t>(kByteOrderMarkSize);
    return true;
  }
  // A byte order mark that did not fit must not stay half written.
  cut_back(file_.get(), 0);
  file_.reset();
  file_size_ = -1;
  return false;
}

void LogFile::close_file() {
  file_.reset();
  open_path_.clear();
  file_size_ = -1;
}

// True when the open file is the one `month`/`name` of the kind folder below
// `root` leads to without a link; its length is then taken afresh (others may
// append).
bool LogFile::still_in_place(int root, const std::string& month,
                             const std::string& name) {
  if (!file_ || open_path_ != current_path) return false;
  struct stat held;
  struct stat found;
  if (::fstat(file_.get(), &held) != 0 || held.st_nlink == 0 ||
      !stat_beneath(root, kind_folder_, month, name, &found) ||
      !(identity_of(held) == identity_of(found))) {
    return false;
  }
  // As when it is opened: a mode changed meanwhile is set back.
  if ((held.st_mode & 07777) != 0666) ::fchmod(file_.get(), 0666);
  file_size_ = static_cast<int64_t>(held.st_size);
  return true;
}

// Opens the file `name` of `month` below the open root: the usual case, an
// existing file in existing folders, in one call that follows no link;
// anything else takes the walk that makes the folders.
bool LogFile::open_in_tree(int root, const std::string& month,
                           const std::string& name, bool* existed) {
  *existed = true;
  file_.reset(open_beneath(root,
                           std::string(kind_folder_) + "/" + month + "/" + name,
                           O_WRONLY | O_APPEND | kNoFollow));
  struct stat st;
  if (file_ && is_regular(file_.get(), &st)) {
    if ((st.st_mode & 07777) != 0666) ::fchmod(file_.get(), 0666);
    file_size_ = static_cast<int64_t>(st.st_size);
    if (start_file()) return true;
  }
  file_.reset();
  const base::UniqueFd kind_fd(open_dir(root, kind_folder_, log_dir));
  if (!kind_fd) return false;
  const base::UniqueFd month_fd(
      open_dir(kind_fd.get(), month, join_path(log_dir, month)));
  if (month_fd && open_file(month_fd.get(), name, existed) && start_file()) {
    return true;
  }
  file_.reset();
  return false;
}

void LogFile::prepare_file(int64_t t, Roll* roll) {
  if (roll != nullptr) *roll = Roll();
  if (current_name.empty()) load_state();
  const std::string month = month_folder_name(t);
  const std::string name = choose_file_name(t);
  current_path = join_path(join_path(log_dir, month), name);

  const base::UniqueFd root(base::retry_eintr([&] {
    return ::open(base_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }));
  // The file open for the previous line serves again while its path still
  // leads to it.
  if (root && name == current_name && still_in_place(root.get(), month, name)) {
    return;
  }
  close_file();
  bool existed = true;
  if (!root || !open_in_tree(root.get(), month, name, &existed)) {
    file_.reset();
    current_path.clear();
    return;
  }
  open_path_ = current_path;
  note_opened(existed, roll);
  if (name != current_name || !existed) {
    current_name = name;
    line_count = 0;
    save_state();
  }
}

// Tells a roll from a continued file: the same path and the same file as
// the last line's (or, before any line, the existing file the state names)
// continue it.
void LogFile::note_opened(bool existed, Roll* roll) {
  struct stat st;
  const bool known = ::fstat(file_.get(), &st) == 0;
  const FileIdentity id = known ? identity_of(st) : FileIdentity();
  // A file made just now is a new one even where the old one's inode
  // number came back.
  const bool same_file =
      existed && (!last_id_known_ || (known && id == last_id_));
  if (current_path != last_path_ || !same_file) {
    if (roll != nullptr) *roll = Roll{true, last_path_, current_path};
  }
  last_path_ = current_path;
  last_id_ = id;
  last_id_known_ = known;
}

// Appends line + CR LF.
bool LogFile::append_line(const std::string& line) {
  std::string text;
  text.reserve(line.size() + kLineEndSize);
  text.append(line).append(kLineEnd, kLineEndSize);
  return append_text(text);
}

bool LogFile::append_counted(const std::vector<std::string_view>& lines) {
  std::string text;
  std::size_t size = 0;
  for (std::string_view line : lines) size += line.size() + kLineEndSize;
  text.reserve(size);
  for (std::string_view line : lines) {
    text.append(line).append(kLineEnd, kLineEndSize);
  }
  if (!append_text(text)) return false;
  const int64_t count =
      static_cast<int64_t>(line_count) + static_cast<int64_t>(lines.size());
  line_count = static_cast<int32_t>(std::min<int64_t>(count, INT32_MAX));
  return true;
}

// Whole lines in one write. On failure the file is cut back to its previous
// length and closed, so that no part of them stays and the next line opens
// the file again.
bool LogFile::append_text(const std::string& text) {
  if (base::write_all(file_.get(), text.data(), text.size())) {
    file_size_ += static_cast<int64_t>(text.size());
    return true;
  }
  if (file_size_ >= 0) cut_back(file_.get(), file_size_);
  close_file();
  return false;
}

}  // namespace quillo
