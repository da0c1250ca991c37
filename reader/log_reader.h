// The rows of one kind that answer a query, in time order, read from the
// log tree; once, or on and on as they are written.
//
// Access and alert rows carry the daemon's own clock, so they already lie
// in the order of the files' stamps, and a file holds no row before its
// own stamp nor after the next file's, as far as the daemon vouches for
// those stamps (LogTree::vouches_for_stamp): files outside the bounds are
// not read, and the rows of the others are streamed.
// System rows carry the sender's time and the daemon writes a queued older
// row into the current file of that row's month, so only the month folders
// bound them: every file of a month in range is read and the month's rows
// are sorted (stably) before they are handed on.
//
//   StderrObserver observer;         // a ReadObserver of the caller's
//   LogReader reader(log_root, query, observer);
//   reader.read(consumer);           // every row once, then returns
//   reader.follow(consumer);         // or: the start, then each new row
//
// A caller that must be able to stop following (a server, one reader per
// client) takes the steps itself:
//
//   reader.begin_follow(consumer);   // the start, then caught_up()
//   while (reader.follow_step(consumer, timeout_ms, {stop, client})) {...}

#ifndef QUILLO_READER_LOG_READER_H_
#define QUILLO_READER_LOG_READER_H_

#include <poll.h>
#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "reader/line_reader.h"
#include "reader/log_query.h"
#include "reader/log_tree.h"
#include "reader/row_matcher.h"

namespace quillo {

// One query over one log root. Holds the root's descriptors and, when
// following, a cursor per file. Single-threaded: every call, and every
// call of the consumer and observer, is on the caller's thread; separate
// readers share nothing and may run on separate threads.
class LogReader {
 public:
  // Opens the log root `log_root`; raises TreeError when it cannot. The
  // observer must outlive the reader.
  LogReader(const std::string& log_root, LogQuery query,
            ReadObserver& observer);
  LogReader(const LogReader&) = delete;
  LogReader& operator=(const LogReader&) = delete;
  ~LogReader();

  // Hands every row of the query to `consumer`, in time order.
  void read(RowConsumer& consumer);

  // Hands the start to `consumer` (the rows from query.since on, or
  // without has_since the last query.last_rows rows), calls caught_up(),
  // then each row as it is written. Never returns: raises TreeError when
  // the tree can no longer be watched. query.until must bound nothing.
  [[noreturn]] void follow(RowConsumer& consumer);

  // The first part of follow(): the start, caught_up(), and the watches
  // that make later writes wake follow_step(). Raises TreeError.
  void begin_follow(RowConsumer& consumer);
  // Waits up to `timeout_ms` (-1: without end) for a change in the tree
  // and hands on the rows written since the last step. False, with
  // nothing read, when one of `wake` became ready first (for its events,
  // or hung up); true otherwise, the time running out included. Raises
  // TreeError.
  bool follow_step(RowConsumer& consumer, int timeout_ms,
                   std::vector<pollfd> wake = {});

 private:
  // How far a file has been read, and whether it is left out for good.
  struct Tracked {
    FileCursor cursor;
    ino_t inode = 0;
    bool ignored = false;
  };

  bool in_bounds(const std::string& month) const;
  void show_start_of_follow(const std::vector<std::string>& months,
                            const std::string& newest, RowConsumer& consumer);
  void show_last_rows(const std::vector<std::string>& months,
                      const std::string& newest, RowConsumer& consumer);
  // Reads every file of `month` that may hold rows within the bounds,
  // handing the rows to `consumer`; with `track` the files' cursors are
  // kept for following.
  void read_month(const std::string& month, bool track, RowConsumer& consumer);
  void read_file(const std::string& month, const StampedFile& file,
                 Tracked& tracked, bool check_time, bool need_time);
  // One round of following: new months, new files, new lines.
  void read_new(int inotify_fd, RowConsumer& consumer);

  const LogQuery query_;
  ReadObserver* observer_;
  LogTree tree_;
  LineReader reader_;
  RowScanner scanner_;
  // Followed months from this one on ("": every month).
  std::string first_month_;
  std::map<std::string, std::map<std::string, Tracked>> cursors_;
  base::UniqueFd inotify_;  // while following
};

}  // namespace quillo

#endif  // QUILLO_READER_LOG_READER_H_
