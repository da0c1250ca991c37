// Safe access to one kind's folder of the log tree:
//
//   <log root>/<kind dir>/<YYYYMM>/<prefix><YYYYMMDDhhmmss>.csv
//
// The folders are world-writable, so from the kind folder down nothing is
// followed: each folder is opened below its parent's descriptor with
// O_NOFOLLOW, and a log file is opened with O_NOFOLLOW | O_NONBLOCK (a
// planted FIFO neither blocks the open nor a read) and used only when
// fstat() says it is a regular file. The log root itself and the folders
// above it are the administrator's and may be links. Whatever is not what
// it should be is reported once on standard error and left out.

#ifndef QUILLO_QUERY_LOG_TREE_H_
#define QUILLO_QUERY_LOG_TREE_H_

#include <sys/types.h>

#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "query/log_row.h"

namespace quillo_query {

// The log root cannot be opened; what() names it and the reason.
class TreeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A log file's name and the instants of its stamp, a local time: the
// first and the last instant with that local time (the same but in the
// hour the clocks repeat).
struct LogFileName {
  std::string name;
  int64_t stamp = 0;
  int64_t stamp_latest = 0;
};

// Listing and opening below one kind folder. Owns the descriptors of the
// root and the kind folder. Single-threaded.
class LogTree {
 public:
  // Opens the log root `root`; raises TreeError when it cannot. A missing
  // kind folder is no error: nothing was logged yet (see open_kind()).
  LogTree(const std::string& root, Kind kind);

  // Opens the kind folder if it is not open yet; true when it is open.
  bool open_kind();

  // Month folders ("YYYYMM" of a month 01-12), oldest first.
  std::vector<std::string> months();

  // The log files of `month`, by stamp, then by name.
  std::vector<LogFileName> files(const std::string& month);

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

  // "<kind dir>/<month>/<name>" below the root, for messages: as shown
  // (visible_text.h), since anyone may name a file there.
  std::string path(const std::string& month, const std::string& name) const;

  const base::UniqueFd& root_fd() const { return root_; }
  const base::UniqueFd& kind_fd() const { return kind_; }
  Kind kind() const { return kind_id_; }

  // Local time of the first second of a month folder "YYYYMM", and of
  // the month after it.
  static int64_t month_start(const std::string& month);
  static int64_t month_end(const std::string& month);

 private:
  // Writes "quillo-query: <what>: <why>" to standard error, once per
  // `what`, so that following does not repeat it.
  void report(const std::string& what, const char* why);

  std::string root_path_;
  Kind kind_id_;
  std::string prefix_;
  base::UniqueFd root_;
  base::UniqueFd kind_;
  uid_t kind_owner_ = 0;  // of kind_
  std::set<std::string> reported_;
};

}  // namespace quillo_query

#endif  // QUILLO_QUERY_LOG_TREE_H_
