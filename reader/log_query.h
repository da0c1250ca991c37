// What the log reader is asked for and how it answers.
//
// A LogQuery names one kind of rows, inclusive time bounds and the column
// filters that must all hold. The reader (reader/log_reader.h) hands the
// rows that answer it, in time order, to a RowConsumer, and tells a
// ReadObserver what it left out on the way: entries of the tree that are
// not the daemon's, lines that are not rows. A path is the log root as
// given joined with the names as stored; anyone may name a file in the
// tree, so a caller that shows paths escapes them first.
//
//   LogQuery query;
//   query.kind = LogKind::kAccess;
//   query.filters.push_back(FieldFilter{kUser, "bob*"});
//   LogReader reader(log_root, query, observer);
//   reader.read(consumer);  // consumer.row(view, time) for each row

#ifndef QUILLO_READER_LOG_QUERY_H_
#define QUILLO_READER_LOG_QUERY_H_

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "logstore/log_kind.h"
#include "logstore/log_row.h"
#include "reader/local_time.h"

namespace quillo {

// One condition on a column (an AccessColumn). The pattern is the alert
// conditions' wildcard (config/wildcard.h) on the column as stored; with
// `word_only` the result word ("ok", "fail") is compared instead.
struct FieldFilter {
  int field = kUser;
  std::string pattern;
  bool negate = false;
  bool word_only = false;
};

struct LogQuery {
  LogKind kind = LogKind::kAccess;
  // Inclusive bounds in seconds since the epoch; the defaults bound nothing.
  int64_t since = std::numeric_limits<int64_t>::min();
  int64_t until = std::numeric_limits<int64_t>::max();
  // When following: show the rows from `since` on (true) rather than the
  // last `last_rows` rows before following.
  bool has_since = false;
  int last_rows = 10;
  std::vector<FieldFilter> filters;
  // The consumer wants every row's time, not only where the reader needs
  // it to bound or sort the rows.
  bool want_times = false;
};

// Takes the rows that answer a query. Called on the reader's thread.
class RowConsumer {
 public:
  virtual ~RowConsumer() = default;
  // `row` views the reader's buffer and lives until the call returns;
  // `time` is the row's instant, or kNoTime when neither the query
  // (want_times) nor the reader needed it.
  virtual void row(const RowView& row, int64_t time) = 0;
  // Following: the rows before following have all been handed on; what
  // comes next is written from now on. Called once.
  virtual void caught_up() {}
};

// Learns what the reader leaves out. Called on the reader's thread.
class ReadObserver {
 public:
  virtual ~ReadObserver() = default;
  // The entry `path` of the tree, or the rest of it, is not read; `why`
  // is a fixed text ("not a log file, left out") or the reason a call
  // failed (strerror). The tree's own checks name an entry once per
  // reader.
  virtual void entry_left_out(const std::string& path,
                              std::string_view why) = 0;
  // Line `line` of the log file `path` (counted from 1 after the byte
  // order mark) is not a row of the query's kind; `why` is a fixed text:
  // decode_row()'s, "line ends without CR", "time out of range" or "line
  // longer than 64 KiB".
  virtual void line_left_out(const std::string& path, int64_t line,
                             std::string_view why) = 0;
};

}  // namespace quillo

#endif  // QUILLO_READER_LOG_QUERY_H_
