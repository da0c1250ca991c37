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
// What survives between requests and restarts is the per-kind state file
// <state dir>/<prefix>info: "<current file name>\n<line count>\n".

#ifndef QUILLO_LOGSTORE_LOG_FILE_H_
#define QUILLO_LOGSTORE_LOG_FILE_H_

#include <cstdint>
#include <fstream>
#include <string>

inline constexpr int32_t kMaxLinesPerFile = 65535;
inline constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";
inline constexpr char kLineEnd[] = "\r\n";

// Free space, in whole percent, of the file system holding `path`:
// free blocks (including those reserved for the superuser) * 100 / total
// blocks. 100 when statfs() fails or the file system reports no blocks.
int free_space_percent(const std::string& path);

// A short-lived writer for one log kind: a handler constructs it, sets the
// auto-delete fields, calls write_line() once or more and destroys it, which
// closes the file. The object owns its strings and its stream. Main thread
// only; at most one LogFile per kind should exist at a time, since nothing
// locks the files.
class LogFile : public std::ofstream {
 public:
  // Opens and reads nothing. `suffix` is ".csv" for every kind.
  LogFile(const std::string& base_dir, const std::string& kind_dir,
          const std::string& prefix, const std::string& suffix,
          const std::string& state_dir);
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;
  ~LogFile() override;

  // Appends `line` + CR LF to the file for time `t`, running the auto-delete
  // pass first. Returns 0 when the line reached the file, 1 when it did not:
  // the log root is missing, the file cannot be opened, or the write failed
  // (then the file is cut back to its length before the line and the line is
  // not counted).
  int write_line(int64_t t, const std::string& line);

  // Chooses the file for `t`, starting a new one (count 0, state saved) when
  // needed, and opens it if the stream is closed, making the kind and month
  // directories first. Leaves current_path empty when the open fails.
  void prepare_file(int64_t t);

  // The file name a line at `t` belongs to: current_name while the file has
  // room and its stamp has the local month and year of `t`, otherwise a new
  // name from `t`.
  std::string choose_file_name(int64_t t) const;

  // Reads current_name and line_count from the state file; leaves them
  // unchanged when the file cannot be opened or read.
  void load_state();

  // Writes current_name and line_count to the state file. Failures are
  // ignored: a later line saves again.
  void save_state();

  // Auto-delete pass for "now" = `t`: when enabled and the free space of the
  // log volume is at most expire_percent, deletes every expired log file of
  // this kind in the expired month directories below log_dir.
  void auto_delete(int64_t t);

  // Unlinks the files of month directory `dir` that carry this kind's prefix
  // and suffix and are expired at `t`.
  void delete_expired_in(int64_t t, const std::string& dir);

  // True when `name` carries a stamp that lies at least expire_days whole
  // days (of 86400 s) before `t`. A name without stamp, or with a stamp
  // after `t`, is never expired.
  bool is_expired(const std::string& name, int64_t t) const;

  std::string base_dir;      // log root
  std::string log_dir;       // log root joined with the kind directory
  std::string prefix;        // e.g. "system_"
  std::string suffix;        // ".csv"
  std::string state_path;    // state directory joined with prefix + "info"
  std::string current_path;  // file of the next line; empty: none usable
  std::string current_name;  // file name recorded in the state file
  int32_t line_count = 0;    // lines in the file named by current_name
  bool autodelete_enabled = false;
  int32_t expire_days = 0;
  int32_t expire_percent = 0;
  int files_deleted = 0;     // by the auto-delete passes of this object

 protected:
  // Free space of the log volume in percent; tests substitute a figure.
  virtual int free_percent() const;

 private:
  bool open_current(int64_t size);
  bool append_line(const std::string& line);

  // Length of the open file before the next line, so that a failed write
  // can be cut back. -1 while no file is open.
  int64_t file_size_ = -1;
  // Length of the state file as last read or written by this object; -1
  // when unknown. Saves the cut when the new content is not shorter.
  int64_t state_size_ = -1;
};

#endif  // QUILLO_LOGSTORE_LOG_FILE_H_
