// From lines of a log file to the rows a query asks for: decoding, the
// damaged-line report, the time bounds and the field filters.

#ifndef QUILLO_READER_ROW_MATCHER_H_
#define QUILLO_READER_ROW_MATCHER_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "logstore/log_kind.h"
#include "logstore/log_row.h"
#include "reader/line_reader.h"
#include "reader/local_time.h"
#include "reader/log_query.h"

namespace quillo {

// The word a result column starts with: "ok" or "fail" for the rows the
// daemon writes ("fail (Permission denied)" gives "fail").
std::string_view result_word(std::string_view result);

// The field filters of a query; all must hold. Single-threaded (it reuses
// one buffer for the values it compares).
class RowMatcher {
 public:
  explicit RowMatcher(std::vector<FieldFilter> filters)
      : filters_(std::move(filters)) {}
  bool matches(const RowView& row);

 private:
  std::vector<FieldFilter> filters_;
  std::string value_;
};

// Decodes each line of a file into a row, tells the observer what cannot
// be a row and hands each row within the bounds that the filters pass to
// a consumer, set before the first line. Single-threaded; the observer
// and the consumer must outlive it (or the consumer its replacement).
class RowScanner final : public LineSink {
 public:
  RowScanner(const LogQuery& query, ReadObserver& observer)
      : kind_(query.kind),
        since_(query.since),
        until_(query.until),
        matcher_(query.filters),
        observer_(&observer) {}

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

 private:
  LogKind kind_;
  int64_t since_;
  int64_t until_;
  RowMatcher matcher_;
  ReadObserver* observer_;
  RowConsumer* consumer_ = nullptr;
  RowTimeParser times_;
  std::string path_;
  bool check_time_ = false;
  bool need_time_ = false;
};

}  // namespace quillo

#endif  // QUILLO_READER_ROW_MATCHER_H_
