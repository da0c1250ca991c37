// Writer of the dated CSV log files of one log kind, kept open from one
// line to the next.
//
// Tree below the log root (the root itself is never created):
//   <root>/<kind folder>/<YYYYMM>/<prefix><YYYYMMDDhhmmss><suffix>
// with the names of logstore/file_name.h. Directories get mode 0777, log
// files 0666, whatever the umask. A new file begins with the byte order
// mark; each line ends in CR LF (logstore/log_row.h). A file holds at most
// kMaxLinesPerFile lines, except while the line that reaches the limit and
// the following ones fall in the second that named the file.
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
// The open file serves the next line only while its path still leads,
// without a link, to it: a file removed, renamed or replaced meanwhile (or
// its month folder swapped) is let go and the path opened as for a first
// line. Which file is current survives restarts in the state file
// <state dir>/<kind>_info: "<current file name>\n<line count>\n", rewritten
// in place after every line and kept open. It is read again only when what
// stands at its path is no longer what this writer left there (removed,
// replaced, or edited by hand: another inode, size or change time), so what
// is on disk always decides, as after a restart. When the writer first
// reads it, the file it names is checked against it: a crash during a
// write can leave half a line (cut off, back to the last CR LF), and one
// between a write and the state's save a count behind the file's lines
// (the lines counted take its place and are saved), so that the line limit
// holds across crashes.

#ifndef QUILLO_LOGSTORE_LOG_FILE_H_
#define QUILLO_LOGSTORE_LOG_FILE_H_

#include <sys/types.h>
#include <time.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_fd.h"
#include "logstore/log_kind.h"

namespace quillo {

inline constexpr int32_t kMaxLinesPerFile = 65535;

// Free space, in whole percent, of the file system holding `path`:
// free blocks (including those reserved for the superuser) * 100 / total
// blocks. 100 when statfs() fails or the file system reports no blocks.
int free_space_percent(const std::string& path);

// Where a file lies, to tell whether a path still names it.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const FileIdentity& o) const {
    return device == o.device && inode == o.inode;
  }
};

// The writer of one log kind. Owns its strings and its two descriptors
// (log file and state file). Main thread only; at most one LogFile per kind
// should exist at a time, since nothing locks the files.
class LogFile {
 public:
  // The file it left and the one it writes now, when a line goes to a
  // file other than the previous line's.
  struct Roll {
    bool rolled = false;
    std::string old_path;  // empty: no file was known
    std::string new_path;
  };

  // Opens and reads nothing. An empty `log_root` writes nothing.
  LogFile(LogKind kind, const std::string& log_root,
          const std::string& state_dir);
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;
  virtual ~LogFile();

  // A new log root: the open file is let go, the next line opens its file
  // below `log_root` (the current name and count stay, as a restart would
  // read them). Nothing happens when the root is the same.
  void set_root(const std::string& log_root);

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

  // write_line() in two steps, so that a caller can act between the choice
  // of the file and the write: begin_line() reads the state if needed,
  // runs the auto-delete pass and opens the file for `t` (false when there
  // is none to write); `roll`, when given, says whether this is another
  // file than the last line's. finish_line() appends and counts the line
  // (false when it did not reach the file). finish_line() only after a
  // begin_line() that returned true.
  bool begin_line(int64_t t, int64_t now, Roll* roll = nullptr);
  bool finish_line(const std::string& line);
  // finish_line() without the state file's update, for more lines of one
  // pass: the caller ends the pass with save_state(). True while the file
  // has room for another line after a begin_line() (false once it holds
  // kMaxLinesPerFile: begin again for the next file).
  bool append_counted(const std::string& line);
  bool has_room() const { return line_count < kMaxLinesPerFile; }
  // append_counted() for many lines in one write (each gets its CR LF):
  // all of them reach the file and are counted, or none (the file is cut
  // back to its length before them and closed). The caller keeps to the
  // open file's room (takes_line()) and ends the pass with save_state().
  bool append_counted(const std::vector<std::string_view>& lines);
  // True when a line at `t`, after `pending` more lines not yet appended,
  // still belongs to the file begin_line() opened (its room and month);
  // false: the pending lines go first, then begin again for this one.
  bool takes_line(int64_t t, int64_t pending) const;

  // Chooses the file for `t` and opens it unless the open one still stands
  // at that path, making the kind and month folders first. A new file
  // (another name, or the current one gone) starts with count 0 and is
  // recorded in the state file once it is open; a file that cannot be
  // opened leaves the state as it was. Leaves current_path empty when the
  // open fails.
  void prepare_file(int64_t t, Roll* roll = nullptr);

  // The file name a line at `t` belongs to: current_name while the file has
  // room and its stamp has the local month and year of `t`, otherwise a new
  // name from `t`.
  std::string choose_file_name(int64_t t) const;

  // Reads current_name and line_count from the state file; leaves them
  // unchanged when the file cannot be opened or read, or is not a regular
  // file. A name that is not one of this kind's file names is dropped.
  void load_state();

  // Writes current_name and line_count to the state file. Failures are
  // ignored: a later line saves again.
  void save_state();

  // Auto-delete pass for "now" = `now`: when enabled and the free space of
  // the log volume is at most expire_percent, deletes every expired log
  // file of this kind in the expired month folders below log_dir, except
  // the current file (current_name).
  void auto_delete(int64_t now);

  // True when `name` (a file name of this kind, or a month folder name,
  // judged by the first of its month) carries a stamp that lies at least
  // expire_days whole days (of 86400 s) before `now`. Any other name, or a
  // stamp after `now`, is never expired.
  bool is_expired(const std::string& name, int64_t now) const;

  // True while a log file is open.
  bool is_open() const { return static_cast<bool>(file_); }

  const LogKind kind;
  std::string base_dir;      // log root
  std::string log_dir;       // log root joined with the kind folder
  const std::string state_path;  // state folder joined with "<kind>_info"
  std::string current_path;  // file of the next line; empty: none usable
  std::string current_name;  // file name recorded in the state file
  int32_t line_count = 0;    // lines in the file named by current_name
  bool autodelete_enabled = false;
  int32_t expire_days = 0;
  int32_t expire_percent = 0;
  int64_t files_deleted = 0;   // by the auto-delete passes of this object
  // The paths those passes deleted, for the store to tell its observers.
  std::vector<std::string> deleted_paths;
  int64_t unsafe_entries = 0;  // links and other things left untouched

 protected:
  // Free space of the log volume in percent; tests substitute a figure.
  virtual int free_percent() const;

 private:
  // The folder `name` below `parent`, made (0777) when missing; -1 when it
  // cannot be opened. Never follows a link.
  int open_dir(int parent, const std::string& name, const std::string& path);
  bool open_file(int month_fd, const std::string& name, bool* existed);
  bool open_in_tree(int root, const std::string& month,
                    const std::string& name, bool* existed);
  bool still_in_place(int root, const std::string& month,
                      const std::string& name);
  bool start_file();
  bool append_line(const std::string& line);
  bool append_text(const std::string& text);
  // choose_file_name() for a file that holds `count` lines.
  std::string file_name_for(int64_t t, int64_t count) const;
  void close_file();
  void note_opened(bool existed, Roll* roll);
  bool state_in_place() const;
  // The check of the named file at the first read of the state.
  void check_named_file();
  void note_state_saved();
  void delete_expired_in(int64_t now, int month_fd, const std::string& dir);
  // Reports and counts `path`, which is not what it should be.
  void refuse(const std::string& path, const char* what);

  const char* const kind_folder_;
  base::UniqueFd file_;
  std::string open_path_;  // the path `file_` was opened as
  // Length of the open file before the next line, so that a failed write
  // can be cut back. -1 while no file is open.
  int64_t file_size_ = -1;
  // The file the last line went to (or, before any, the one the state file
  // names), to tell a roll from a continued file.
  std::string last_path_;
  FileIdentity last_id_;
  bool last_id_known_ = false;
  // The state file, kept open between lines, and what fstat() said of it
  // after this writer's last save: where it lies, its size and change
  // time. Anything else found at its path (a hand edit too) is read again.
  base::UniqueFd state_fd_;
  FileIdentity state_id_;
  off_t state_seen_size_ = -1;
  struct timespec state_seen_change_ {};
  // The named file was checked (the log root could be opened for it).
  bool state_checked_ = false;
  // Length of the state file as last read or written by this object; -1
  // when unknown. Saves the cut when the new content is not shorter.
  int64_t state_size_ = -1;
};

}  // namespace quillo

#endif  // QUILLO_LOGSTORE_LOG_FILE_H_
