// Writer of the dated CSV log files of one log kind.
//
// Tree below the log root (the root itself is never created):
//   <root>/<kind dir>/<YYYYMM>/<prefix><YYYYMMDDhhmmss><suffix>
// e.g. accesslog/202612/access_20261207093015.csv. Directories get mode
// 0777, log files 0666, whatever the umask. A new file begins with the
// UTF-8 byte order mark EF BB BF; each line ends in CR LF. A file holds at
// most kMaxLinesPerFile lines, except while the line that reaches the limit
// and the following ones fall in the second that named the file.
//
// The folders are world-writable, so any local user may put anything in
// them. The log root and the folders above it are the administrator's and
// may be links; from the kind folder down nothing is followed: folders and
// files are opened relative to their parent's descriptor with O_NOFOLLOW,
// files must be regular, modes are set on the descriptor, and the
// auto-delete pass unlinks only regular files through their folder's
// descriptor. Whatever else is found where a folder or file of ours should
// be is left untouched, reported on standard error and counted
// (unsafe_entries); the line then counts as not written.
//
// What survives between requests and restarts is the per-kind state file
// <state dir>/<prefix>info: "<current file name>\n<line count>\n".

#ifndef QUILLO_LOGSTORE_LOG_FILE_H_
#define QUILLO_LOGSTORE_LOG_FILE_H_

#include <cstdint>
#include <string>

#include "base/unique_fd.h"

inline constexpr int32_t kMaxLinesPerFile = 65535;
inline constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";
inline constexpr char kLineEnd[] = "\r\n";

// Free space, in whole percent, of the file system holding `path`:
// free blocks (including those reserved for the superuser) * 100 / total
// blocks. 100 when statfs() fails or the file system reports no blocks.
int free_space_percent(const std::string& path);

// A short-lived writer for one log kind: a handler constructs it, sets the
// auto-delete fields, calls write_line() once or more and destroys it, which
// closes the file. The object owns its strings and its descriptor. Main
// thread only; at most one LogFile per kind should exist at a time, since
// nothing locks the files.
class LogFile {
 public:
  // Opens and reads nothing. `suffix` is ".csv" for every kind.
  LogFile(const std::string& base_dir, const std::string& kind_dir,
          const std::string& prefix, const std::string& suffix,
          const std::string& state_dir);
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;
  virtual ~LogFile();

  // Appends `line` + CR LF to the file for time `t` (the line's own time,
  // which names it and chooses the file), running the auto-delete pass
  // first with `now` (the daemon's clock) as its "now". Returns 0 when the
  // line reached the file, 1 when it did not: the log root is missing, the
  // file cannot be opened or is not ours, or the write failed (then the
  // file is cut back to its length before the line and the line is not
  // counted).
  int write_line(int64_t t, const std::string& line, int64_t now);
  // The same for a line written at its own time (now = t).
  int write_line(int64_t t, const std::string& line) {
    return write_line(t, line, t);
  }

  // Chooses the file for `t` and opens it if it is not open, making the
  // kind and month folders first. A new file (another name, or the current
  // one gone) starts with count 0 and is recorded in the state file once it
  // is open; a file that cannot be opened leaves the state as it was.
  // Leaves current_path empty when the open fails.
  void prepare_file(int64_t t);

  // The file name a line at `t` belongs to: current_name while the file has
  // room and its stamp has the local month and year of `t`, otherwise a new
  // name from `t`.
  std::string choose_file_name(int64_t t) const;

  // Reads current_name and line_count from the state file; leaves them
  // unchanged when the file cannot be opened or read, or is not a regular
  // file.
  void load_state();

  // Writes current_name and line_count to the state file. Failures are
  // ignored: a later line saves again.
  void save_state();

  // Auto-delete pass for "now" = `now`: when enabled and the free space of
  // the log volume is at most expire_percent, deletes every expired log
  // file of this kind in the expired month folders below log_dir, except
  // the current file (current_name).
  void auto_delete(int64_t now);

  // True when `name` carries a stamp that lies at least expire_days whole
  // days (of 86400 s) before `now`. A name without stamp, or with a stamp
  // after `now`, is never expired.
  bool is_expired(const std::string& name, int64_t now) const;

  // True while a log file is open.
  bool is_open() const { return static_cast<bool>(file_); }

  std::string base_dir;      // log root
  std::string kind_dir;      // e.g. "systemlog"
  std::string log_dir;       // log root joined with the kind folder
  std::string prefix;        // e.g. "system_"
  std::string suffix;        // ".csv"
  std::string state_path;    // state folder joined with prefix + "info"
  std::string current_path;  // file of the next line; empty: none usable
  std::string current_name;  // file name recorded in the state file
  int32_t line_count = 0;    // lines in the file named by current_name
  bool autodelete_enabled = false;
  int32_t expire_days = 0;
  int32_t expire_percent = 0;
  int files_deleted = 0;   // by the auto-delete passes of this object
  int unsafe_entries = 0;  // links and other things left untouched

 protected:
  // Free space of the log volume in percent; tests substitute a figure.
  virtual int free_percent() const;

 private:
  // The folder `name` below `parent`, made (0777) when missing; -1 when it
  // cannot be opened. Never follows a link.
  int open_dir(int parent, const std::string& name, const std::string& path);
  bool open_file(int month_fd, const std::string& name, bool* existed);
  bool start_file();
  bool append_line(const std::string& line);
  void delete_expired_in(int64_t now, int month_fd, const std::string& dir);
  // Reports and counts `path`, which is not what it should be.
  void refuse(const std::string& path, const char* what);

  base::UniqueFd file_;
  std::string open_path_;  // the path `file_` was opened as
  // Length of the open file before the next line, so that a failed write
  // can be cut back. -1 while no file is open.
  int64_t file_size_ = -1;
  // Length of the state file as last read or written by this object; -1
  // when unknown. Saves the cut when the new content is not shorter.
  int64_t state_size_ = -1;
};

#endif  // QUILLO_LOGSTORE_LOG_FILE_H_
