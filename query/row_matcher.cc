#include "query/row_matcher.h"

#include "base/console.h"
#include "config/wildcard.h"

namespace quillo_query {

bool RowMatcher::matches(const Row& row) {
  for (const FieldFilter& f : filters_) {
    const std::string_view column = row.fields[f.field];
    bool hit;
    if (f.word_only) {
      hit = result_word(column) == f.pattern;
    } else {
      // The daemon's rule itself, so a filter selects exactly the rows an
      // alert condition with the same pattern would.
      value_.assign(column.data(), column.size());
      hit = quillo::wildcard_match(value_, f.pattern);
    }
    if (hit == f.negate) return false;
  }
  return true;
}

void RowSink::line(std::string_view text, int64_t number, bool crlf) {
  if (!crlf) {
    report(number, "line ends without CR");
    return;
  }
  Row row;
  const char* why = nullptr;
  if (!split_row(text, kind_, &row, &why)) {
    report(number, why);
    return;
  }
  int64_t time = kNoTime;
  if (need_time_) {
    time = times_.parse(row.time);
    if (time == kNoTime) {
      report(number, "time out of range");
      return;
    }
    if (check_time_ && (time < since_ || time > until_)) return;
  }
  if (!matcher_.matches(row)) return;
  consumer_->row(row, time);
}

void RowSink::too_long(int64_t number) {
  report(number, "line longer than 64 KiB");
}

void RowSink::report(int64_t number, const char* why) {
  ++damaged_;
  complain("quillo-query: " + path_ + ":" + std::to_string(number) + ": " +
           why + ", left out\n");
}

}  // namespace quillo_query
