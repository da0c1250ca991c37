// From lines of a log file to the rows a query asks for: splitting, the
// damaged-line report, the time bounds and the field filters.

#ifndef QUILLO_QUERY_ROW_MATCHER_H_
#define QUILLO_QUERY_ROW_MATCHER_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "query/line_reader.h"
#include "query/log_row.h"
#include "query/query_options.h"

namespace quillo_query {

// The field filters of a query; all must hold. Single-threaded (it reuses
// one buffer for the values it compares).
class RowMatcher {
 public:
  explicit RowMatcher(std::vector<FieldFilter> filters)
      : filters_(std::move(filters)) {}
  bool matches(const Row& row);

 private:
  std::vector<FieldFilter> filters_;
  std::string value_;
};

// Takes the rows that passed.
class RowConsumer {
 public:
  virtual ~RowConsumer() = default;
  // `time` is the row's time, or kNoTime when it was not needed.
  virtual void row(const Row& row, int64_t time) = 0;
};

// Splits each line of a file into a row, reports what cannot be a row on
// standard error ("<file>:<line>: <why>, left out") and hands each row
// within the bounds that the filters pass to a consumer.
class RowSink final : public LineSink {
 public:
  RowSink(Kind kind, const QueryOptions& options, RowConsumer& consumer)
      : kind_(kind),
        since_(options.since),
        until_(options.until),
        matcher_(options.filters),
        consumer_(&consumer) {}

  // Prepares for the lines of `path`. `check_time`: the file may hold rows
  // outside the bounds; `need_time`: the consumer wants every row's time.
  void start_file(std::string path, bool check_time, bool need_time) {
    path_ = std::move(path);
    check_time_ = check_time;
    need_time_ = need_time || check_time;
  }
  void set_consumer(RowConsumer& consumer) { consumer_ = &consumer; }

  void line(std::string_view text, int64_t number, bool crlf) override;
  void too_long(int64_t number) override;

  int64_t damaged() const { return damaged_; }

 private:
  void report(int64_t number, const char* why);

  Kind kind_;
  int64_t since_;
  int64_t until_;
  RowMatcher matcher_;
  RowConsumer* consumer_;
  RowTimeParser times_;
  std::string path_;
  bool check_time_ = false;
  bool need_time_ = false;
  int64_t damaged_ = 0;
};

}  // namespace quillo_query

#endif  // QUILLO_QUERY_ROW_MATCHER_H_
