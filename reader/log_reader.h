// One run of quillo-query over one kind's folder of the log tree.
//
// Rows come out in time order. Access and alert rows carry the daemon's
// own clock, so they already lie in the order of the files' stamps, and a
// file holds no row before its own stamp nor after the next file's, as far
// as the daemon vouches for those stamps (LogTree::vouches_for_stamp):
// files outside the bounds are not read, and the rows of the others are
// streamed.
// System rows carry the sender's time and the daemon writes a queued older
// row into the current file of that row's month, so only the month folders
// bound them: every file of a month in range is read and the month's rows
// are sorted (stably) before they are shown.

#ifndef QUILLO_QUERY_QUERY_RUNNER_H_
#define QUILLO_QUERY_QUERY_RUNNER_H_

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "query/line_reader.h"
#include "query/log_tree.h"
#include "query/query_options.h"
#include "query/row_matcher.h"
#include "query/row_printer.h"

namespace quillo_query {

// Prints rows or feeds the summary, and counts them.
class Emitter final : public RowConsumer {
 public:
  Emitter(std::FILE* out, RowPrinter* printer, Summary* summary)
      : out_(out), printer_(printer), summary_(summary) {}
  void row(const Row& row, int64_t time) override;
  // Every row is flushed at once from now on.
  void flush_each_row() { flush_ = true; }
  int64_t count() const { return count_; }

 private:
  std::FILE* out_;
  RowPrinter* printer_;  // null when summing up
  Summary* summary_;     // null when printing
  bool flush_ = false;
  int64_t count_ = 0;
};

class QueryRunner {
 public:
  // Opens the log root `log_root`; raises TreeError when it cannot. Rows
  // go to `out`; a table is `width` columns wide.
  QueryRunner(QueryOptions options, const std::string& log_root, std::FILE* out,
              int width);
  QueryRunner(const QueryRunner&) = delete;
  QueryRunner& operator=(const QueryRunner&) = delete;

  // Runs the query; returns 0 when rows were shown (or counted), 1 when
  // none matched. With --follow it returns only on an error, raising
  // TreeError.
  int run();

 private:
  // How far a file has been read, and whether it is left out for good.
  struct Tracked {
    FileCursor cursor;
    ino_t inode = 0;
    bool ignored = false;
  };

  int run_history();
  void run_follow();
  void show_start_of_follow(const std::vector<std::string>& months,
                            const std::string& newest);
  // Reads every file of `month` that may hold rows within the bounds,
  // handing the rows to `consumer`; with `track` the files' cursors are
  // kept for following.
  void read_month(const std::string& month, bool track, RowConsumer& consumer);
  void read_file(const std::string& month, const LogFileName& file,
                 Tracked& tracked, bool check_time, bool need_time);
  // One round of following: new months, new files, new lines.
  void read_new(int inotify_fd);
  bool in_bounds(const std::string& month) const;

  const QueryOptions options_;
  std::FILE* out_;
  LogTree tree_;
  LineReader reader_;
  std::unique_ptr<RowPrinter> printer_;
  std::unique_ptr<Summary> summary_;
  Emitter emitter_;
  RowSink sink_;
  // Followed months from this one on ("": every month).
  std::string first_month_;
  std::map<std::string, std::map<std::string, Tracked>> cursors_;
};

}  // namespace quillo_query

#endif  // QUILLO_QUERY_QUERY_RUNNER_H_
