// Fuzzes the row codec of logstore/log_row.h from both sides.
//
// Encode mode: a row of arbitrary column bytes (NUL, CR, LF, commas, byte
// order marks, invalid UTF-8 all allowed) at a time the writer can write
// is encoded as the daemon writes it. The line must be the time of the
// row's local clock (localtime_r, year without leading zeros) and the
// columns with CR and LF as "#015" and "#012", joined by ","; it holds no
// line break; decode_row() must accept it, whatever the columns hold.
// When the columns meet the codec's precondition (no comma in a column
// but the last, no column holding the text "#015" or "#012"), decoding
// gives every column back through unescape_column(), a missing column as
// an empty one, and the time's fields through parse_row_time().
//
// Decode mode: the input is a line as the reader hands it on (cut at its
// first LF). When decode_row() accepts it, the time and the columns
// re-encoded with append_column(unescape_column()) are the line again,
// byte for byte; when it refuses it, the reason is one of its fixed
// texts.
//
// Input: byte 0 picks the kind (bits 0-1), the zone (bit 2: UTC or
// Europe/Berlin) and the mode (bit 3); encode: bytes 1-4 the time (signed
// 32 bits), then each column as a length byte and that many bytes, the
// last column whatever is left; decode: the rest is the line.

#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "base/local_fields.h"
#include "logstore/log_kind.h"
#include "logstore/log_row.h"

namespace {

using namespace quillo;

// The columns of `rest`: length-prefixed, at most `count`, the last one
// the rest of the input.
std::vector<std::string> columns_of(std::string_view rest, std::size_t count) {
  std::vector<std::string> out;
  while (!rest.empty() && out.size() + 1 < count) {
    const std::size_t n = std::min<std::size_t>(
        static_cast<unsigned char>(rest[0]), rest.size() - 1);
    out.emplace_back(rest.substr(1, n));
    rest.remove_prefix(1 + n);
  }
  if (!rest.empty()) out.emplace_back(rest);
  return out;
}

// The line the writer must produce, from the C library's clock and the
// escaping rule spelled out again.
std::string expected_line(std::int64_t t, const std::vector<std::string>& cols,
                          std::size_t count) {
  const time_t when = static_cast<time_t>(t);
  struct tm f {};
  if (localtime_r(&when, &f) == nullptr) abort();
  char text[64];
  std::snprintf(text, sizeof text, "%d/%02d/%02d %02d:%02d:%02d",
                f.tm_year + 1900, f.tm_mon + 1, f.tm_mday, f.tm_hour, f.tm_min,
                f.tm_sec);
  std::string line = text;
  for (std::size_t i = 0; i < count; ++i) {
    line += ',';
    if (i >= cols.size()) continue;
    for (char c : cols[i]) {
      line += c == '\r' ? "#015" : c == '\n' ? "#012" : std::string(1, c);
    }
  }
  return line;
}

// No comma in a column before the kind's last, no "#015" or "#012" text.
bool meets_precondition(const std::vector<std::string>& cols,
                        std::size_t count) {
  for (std::size_t i = 0; i < cols.size(); ++i) {
    if (i + 1 < count && cols[i].find(',') != std::string::npos) {
      return false;
    }
    if (cols[i].find("#015") != std::string::npos ||
        cols[i].find("#012") != std::string::npos) {
      return false;
    }
  }
  return true;
}

void encode_side(LogKind kind, std::int64_t t, std::string_view rest) {
  const std::size_t count = kind_info(kind).column_count;
  const std::vector<std::string> cols = columns_of(rest, count);
  const std::string line = encode_row(LogRow{kind, t, cols});
  if (line != expected_line(t, cols, count) ||
      line.find_first_of("\r\n") != std::string::npos) {
    abort();
  }
  RowView row;
  const char* why = nullptr;
  if (!decode_row(line, kind, &row, &why) || row.column_count != count) {
    abort();
  }
  if (!meets_precondition(cols, count)) return;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string want = i < cols.size() ? cols[i] : std::string();
    if (unescape_column(row.columns[i]) != want) abort();
  }
  const time_t when = static_cast<time_t>(t);
  struct tm f {};
  RowTimeFields fields;
  if (localtime_r(&when, &f) == nullptr || !parse_row_time(row.time, &fields) ||
      fields.year != f.tm_year + 1900 || fields.month != f.tm_mon + 1 ||
      fields.day != f.tm_mday || fields.hour != f.tm_hour ||
      fields.minute != f.tm_min || fields.second != f.tm_sec) {
    abort();
  }
}

void decode_side(LogKind kind, std::string_view line) {
  line = line.substr(0, line.find('\n'));
  RowView row;
  const char* why = nullptr;
  if (!decode_row(line, kind, &row, &why)) {
    static const char* const kReasons[] = {
        "no columns", "too few columns", "malformed time",
        "line break inside the row", "byte order mark inside the row"};
    for (const char* reason : kReasons) {
      if (why != nullptr && std::strcmp(why, reason) == 0) return;
    }
    abort();
  }
  if (row.line != line || row.column_count != kind_info(kind).column_count) {
    abort();
  }
  std::string again(row.time);
  for (std::size_t i = 0; i < row.column_count; ++i) {
    append_column(again, unescape_column(row.columns[i]));
  }
  if (again != line) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static const LogKind kKinds[] = {LogKind::kSystem, LogKind::kAccess,
                                   LogKind::kAlert, LogKind::kAccess};
  const LogKind kind = kKinds[data[0] & 3];
  setenv("TZ", data[0] & 4 ? "Europe/Berlin" : "UTC", 1);
  base::reload_time_zone();
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  if ((data[0] & 8) != 0) {
    decode_side(kind, input.substr(1));
  } else if (size >= 5) {
    int32_t t;
    std::memcpy(&t, data + 1, sizeof t);
    encode_side(kind, t, input.substr(5));
  }
  return 0;
}
