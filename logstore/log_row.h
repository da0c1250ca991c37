// The one codec of a log row: what a line of a log file holds and how it
// is written and read back.
//
// A row is its kind, its time and its columns. On disk it is one line:
//
//   <time>,<column 1>,...,<column n>\r\n       time: "YYYY/MM/DD hh:mm:ss"
//
// in local time; a file's first line is preceded by the byte order mark.
// Columns are joined by "," with no quoting, so only the last may hold
// commas. Each column's bytes are stored as received except CR and LF,
// which become the four characters "#015" and "#012" (the syslog
// convention), so that nothing a client sends can end a line and forge
// another: encode_row() escapes, RowView::column() gives the stored form
// and unescape_column() the original back.
//
// Round trip: for a row whose columns before the last hold no comma,
//   decode_row(encode_row(r)) gives r.time's text and, through
//   unescape_column(), r.columns (a column that held the text "#015"
//   itself comes back as CR: the format cannot tell the two apart);
// and for every line decode_row() accepts, encode of what it read is the
// line again.

#ifndef QUILLO_LOGSTORE_LOG_ROW_H_
#define QUILLO_LOGSTORE_LOG_ROW_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "logstore/log_kind.h"

namespace quillo {

inline constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";
inline constexpr std::size_t kByteOrderMarkSize = sizeof kByteOrderMark - 1;
inline constexpr char kLineEnd[] = "\r\n";
inline constexpr std::size_t kLineEndSize = sizeof kLineEnd - 1;

// One row as the daemon hands it on: columns as received, before escaping.
struct LogRow {
  LogKind kind = LogKind::kSystem;
  std::int64_t time = 0;  // seconds since the epoch; names and files the row
  std::vector<std::string> columns;  // kind_info(kind).column_count of them
};

// The row's line without byte order mark and line end: its time in local
// time (format_log_time), then each column escaped. Missing columns are
// written empty, so the line always has the kind's column count.
std::string encode_row(const LogRow& row);

// Appends "," (unless `line` is empty) and `column` with CR and LF escaped.
void append_column(std::string& line, std::string_view column);

// The stored form back to the received one: "#015" -> CR, "#012" -> LF.
std::string unescape_column(std::string_view stored);

// A stored line split into its columns; views into the caller's buffer.
struct RowView {
  std::string_view line;  // the whole line, as stored
  std::string_view time;
  std::string_view columns[kMaxColumns];
  std::size_t column_count = 0;
};

// Splits `line` (one line without its line end) into `out`. False, with
// `why` set to a fixed text, when the line is not a row of `kind`:
//   "no columns", "too few columns", "malformed time",
//   "line break inside the row", "byte order mark inside the row"
// (a mark at the line's start is another file's, pasted in; one inside a
// column is a client's bytes and kept). The time must have the form of a
// calendar time; what instant it names is the reader's business.
bool decode_row(std::string_view line, LogKind kind, RowView* out,
                const char** why);

// Calendar fields of a row time, as stored (no normalisation).
struct RowTimeFields {
  std::int64_t year = 0;
  int month = 0;
  int day = 0;
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// The fields of "YYYY/MM/DD hh:mm:ss" (a year of one to nine digits); false
// when `time` is not of that form or names no calendar time (30 February).
// A leap second (:60) is allowed: a zone that counts them writes it.
bool parse_row_time(std::string_view time, RowTimeFields* out);

}  // namespace quillo

#endif  // QUILLO_LOGSTORE_LOG_ROW_H_
