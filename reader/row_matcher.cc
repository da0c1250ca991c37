#include "reader/row_matcher.h"

#include "config/wildcard.h"

namespace quillo {

std::string_view result_word(std::string_view result) {
  const std::size_t end = result.find_first_of(" (");
  return end == std::string_view::npos ? result : result.substr(0, end);
}

bool RowMatcher::matches(const RowView& row) {
  for (const FieldFilter& f : filters_) {
    const std::string_view column = row.columns[f.field];
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

void RowScanner::line(std::string_view text, int64_t number, bool crlf) {
  if (!crlf) {
    observer_->line_left_out(path_, number, "line ends without CR");
    return;
  }
  RowView row;
  const char* why = nullptr;
  if (!decode_row(text, kind_, &row, &why)) {
    observer_->line_left_out(path_, number, why);
    return;
  }
  int64_t time = kNoTime;
  if (need_time_) {
    time = times_.parse(row.time);
    if (time == kNoTime) {
      observer_->line_left_out(path_, number, "time out of range");
      return;
    }
    if (check_time_ && (time < since_ || time > until_)) return;
  }
  if (!matcher_.matches(row)) return;
  consumer_->row(row, time);
}

void RowScanner::too_long(int64_t number) {
  observer_->line_left_out(path_, number, "line longer than 64 KiB");
}

}  // namespace quillo
