// The names of the log tree, made and read back in one place:
//
//   <log root>/<folder>/<YYYYMM>/<prefix><YYYYMMDDhhmmss><suffix>
//   e.g. accesslog/202612/access_20261207093015.csv
//
// The folder, prefix and suffix come from the kind table; the stamps are
// the local time of the file's first row. The parsers are strict: a name
// is the tree's only when it is exactly what the maker would write for
// some time (four-digit year, a calendar date and time), so writer,
// auto-delete and reader agree on which entries are ours and leave the
// rest alone.

#ifndef QUILLO_LOGSTORE_FILE_NAME_H_
#define QUILLO_LOGSTORE_FILE_NAME_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "logstore/log_kind.h"
#include "logstore/log_row.h"

namespace quillo {

// "access_20261207093015.csv" for a row at `t` (local time).
std::string log_file_name(LogKind kind, std::int64_t t);

// "202612": the month folder of `t` (local time).
std::string month_folder_name(std::int64_t t);

// The stamp of a file name of `kind`: exactly prefix, 14 digits naming a
// calendar time (seconds 00-60) with a year of 1000 or later, suffix.
// False for anything else.
bool parse_log_file_name(std::string_view name, LogKind kind,
                         RowTimeFields* stamp);

// Year and month of a month folder name: exactly six digits, month 01-12,
// year 1000 or later.
bool parse_month_folder_name(std::string_view name, std::int64_t* year,
                             int* month);

// The state file of a kind below the state folder: "access_info".
inline std::string state_file_name(LogKind kind) {
  return kind_info(kind).state_name;
}

}  // namespace quillo

#endif  // QUILLO_LOGSTORE_FILE_NAME_H_
