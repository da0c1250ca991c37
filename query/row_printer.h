// The output forms of quillo-query: rows as stored (CSV), one JSON object
// per row, an aligned table, and the --count-by summary.

#ifndef QUILLO_QUERY_ROW_PRINTER_H_
#define QUILLO_QUERY_ROW_PRINTER_H_

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "logstore/log_kind.h"
#include "logstore/log_row.h"
#include "query/query_options.h"
#include "reader/local_time.h"

namespace quillo {

// Writes rows of one kind to a stdio stream; the caller flushes it.
// Single-threaded.
class RowPrinter {
 public:
  virtual ~RowPrinter() = default;
  // `time` is the row's instant as read in file order (RowTimeParser), or
  // kNoTime when the caller has none and the printer is to read it.
  virtual void print(const RowView& row, int64_t time) = 0;
  void print(const RowView& row) { print(row, kNoTime); }
};

// The printer for `output`. A table is `width` columns wide. With
// `terminal` CSV rows are shown escaped (visible_text.h); otherwise they
// are written as stored. JSON, tables and summaries never hold a control.
std::unique_ptr<RowPrinter> make_printer(Output output, LogKind kind,
                                         std::FILE* out, int width,
                                         bool terminal = false);

// Appends the stored column `value` to `out` as a JSON string (with its
// quotes): the column as received (unescape_column: "#015" and "#012"
// become CR and LF), every byte sequence that is not UTF-8 becomes
// U+FFFD, and control characters (C1 too), '"' and '\' are escaped.
void append_json_string(std::string& out, std::string_view value);

// Appends `value` to `out` for a terminal in at most `width` columns, as
// shown (visible_text.h); a longer value is cut before a character, its
// last column then '~'. Pads with spaces to `width` when `pad` is set.
void append_cell(std::string& out, std::string_view value, int width, bool pad);

// Counts rows per value of one column, per hour or per day, and prints
// the counts largest first, each with a bar scaled to the largest.
class Summary {
 public:
  explicit Summary(int count_by) : count_by_(count_by) {}
  void add(const RowView& row);
  // True while no row has been counted.
  bool empty() const { return counts_.empty(); }
  void print(std::FILE* out) const;
  // The counts, largest first; equal counts in the order of their values.
  std::vector<std::pair<std::string_view, int64_t>> sorted() const;

 private:
  int count_by_;
  std::map<std::string, int64_t, std::less<>> counts_;
};

}  // namespace quillo

#endif  // QUILLO_QUERY_ROW_PRINTER_H_
