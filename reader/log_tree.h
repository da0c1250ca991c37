// Safe access to one kind's folder of the log tree (logstore/file_name.h):
//
//   <log root>/<kind folder>/<YYYYMM>/<prefix><YYYYMMDDhhmmss><suffix>
//
// The folders are world-writable, so from the kind folder down nothing is
// followed: each folder is opened below its parent's descriptor with
// O_NOFOLLOW, and a log file is opened with O_NOFOLLOW | O_NONBLOCK (a
// planted FIFO neither blocks the open nor a read) and used only when
// fstat() says it is a regular file. The log root itself and the folders
// above it are the administrator's and may be links. Which names are the
// tree's is logstore's strict rule; whatever is not what it should be is
// told to the observer once and left out.

#ifndef QUILLO_READER_LOG_TREE_H_
#define QUILLO_READER_LOG_TREE_H_

#include <sys/types.h>

#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "base/unique_fd.h"
#include "logstore/log_kind.h"
#include "reader/log_query.h"

namespace quillo {

// The log tree cannot be read at all: its root cannot be opened, or the
// changes to it cannot be watched. what() is "<action> <path>: <reason>"
// with the path as stored, or "<action>: <reason>" when the error names
// no path; describe() shows the path the caller's way.
class TreeError : public std::runtime_error {
 public:
  TreeError(const std::string& action, const std::string& reason)
      : std::runtime_error(action + ": " + reason),
        action_(action),
        reason_(reason) {}
  TreeError(const std::string& action, const std::string& path,
            const std::string& reason)
      : std::runtime_error(action + " " + path + ": " + reason),
        action_(action),
        path_(path),
        reason_(reason),
        has_path_(true) {}

  // what() with the path passed through `show` (an escaping for a
  // terminal, say).
  std::string describe(std::string (*show)(std::string_view)) const {
    if (!has_path_) return what();
    return action_ + " " + show(path_) + ": " + reason_;
  }

 private:
  std::string action_;
  std::string path_;
  std::string reason_;
  bool has_path_ = false;
};

// A log file's name and the instants of its stamp, a local time: the
// first and the last instant with that local time (the same but in the
// hour the clocks repeat).
struct StampedFile {
  std::string name;
  int64_t stamp = 0;
  int64_t stamp_latest = 0;
};

// Listing and opening below one kind folder. Owns the descriptors of the
// root and the kind folder; the observer must outlive it. Single-threaded.
class LogTree {
 public:
  // Opens the log root `root`; raises TreeError when it cannot. A missing
  // kind folder is no error: nothing was logged yet (see open_kind()).
  LogTree(const std::string& root, LogKind kind, ReadObserver& observer);

  // Opens the kind folder if it is not open yet; true when it is open.
  bool open_kind();

  // Month folders (parse_month_folder_name), oldest first.
  std::vector<std::string> months();

  // The log files of `month` (parse_log_file_name), by stamp, then by
  // name.
  std::vector<StampedFile> files(const std::string& month);

  // The folder `month`, or an empty descriptor when it is not a folder.
  base::UniqueFd open_month(const std::string& month);

  // The log file `name` of `month` for reading, or an empty descriptor
  // when it is gone or not a regular file.
  base::UniqueFd open_file(const std::string& month, const std::string& name);

  // Whether the daemon stands behind the stamp of the log file `name` of
  // `month`: the daemon names a new file after the row it opens it for,
  // so its first row is at its stamp, and the file is the daemon's own:
  // owned by root or by the owner of the kind folder, which the daemon
  // made in the administrator's log root. A local user's file (another
  // owner) or one of the daemon's renamed (a first row at another time)
  // does not vouch; nor does a file without a first row yet.
  bool vouches_for_stamp(const std::string& month, const std::string& name);

  // "<root>/<kind folder>/<month>/<name>", as stored, for the observer;
  // an empty `month` or `name` is left off.
  std::string path(const std::string& month, const std::string& name) const;

  const base::UniqueFd& root_fd() const { return root_; }
  const base::UniqueFd& kind_fd() const { return kind_; }
  LogKind kind() const { return kind_id_; }

  // Local time of the first second of a month folder "YYYYMM", and of
  // the month after it. Precondition: months() lists `month`.
  static int64_t month_start(const std::string& month);
  static int64_t month_end(const std::string& month);

 private:
  // Tells the observer that `what` is left out, once per `what`, so that
  // following does not repeat it.
  void report(const std::string& what, const char* why);

  std::string root_path_;
  LogKind kind_id_;
  ReadObserver* observer_;
  base::UniqueFd root_;
  base::UniqueFd kind_;
  uid_t kind_owner_ = 0;  // of kind_
  std::set<std::string> reported_;
};

}  // namespace quillo

#endif  // QUILLO_READER_LOG_TREE_H_
