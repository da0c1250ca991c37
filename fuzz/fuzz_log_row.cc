// Fuzzes the log rows on their way back through quillo-query: the line
// reader, the row decoder and the printers.
//
// Raw mode: the input is a log file's bytes, read in two steps (the file
// grows between them). A file without the byte order mark gives no line;
// otherwise the lines handed on, with the line ends they report, are the
// file's bytes after the mark up to the cursor, and nothing after the
// cursor holds a line feed. Rows that decode are printed: every JSON line
// parses (nlohmann::json::accept), and the table and the --count-by
// summary hold no control character (C0, DEL, or C1 as UTF-8) but the line
// feeds that end their lines.
//
// Round-trip mode: fields are written as the daemon writes a row (a
// LogRow through encode_row()), as a file of one line; the query must
// read that line back, decode it into the columns written (CR and LF as
// "#015" and "#012"), and print JSON whose values are the
// fields with "#015"/"#012" decoded and invalid UTF-8 repaired (GLib's
// g_utf8_make_valid), with a timestamp of the row's own local time.
// Commas are left out of all but the last field: only the last column
// may hold them.
//
// Input: byte 0 picks the kind (bits 0-1), the zone (bit 2: UTC or
// Europe/Berlin) and the mode (bit 3); raw: byte 1 where the file is cut
// for the first read, the rest the file; round trip: bytes 1-4 the time
// (signed 32 bits), the rest the fields separated by NUL.

#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/local_fields.h"
#include "fuzz/utf8_oracle.h"
#include "logstore/log_kind.h"
#include "logstore/log_row.h"
#include "query/row_printer.h"
#include "reader/line_reader.h"

namespace {

using namespace quillo;

struct Lines final : LineSink {
  std::string seen;  // every line with the end it reported
  std::vector<std::string> texts;
  void line(std::string_view text, int64_t, bool crlf) override {
    seen.append(text).append(crlf ? "\r\n" : "\n");
    texts.emplace_back(text);
  }
};

// The lines of `file`, written in two steps around a first read.
Lines read_file(const std::string& file, std::size_t cut, FileCursor* cursor) {
  static const int fd = memfd_create("log", MFD_CLOEXEC);
  static LineReader reader;
  Lines lines;
  if (fd < 0 || ftruncate(fd, 0) != 0 ||
      pwrite(fd, file.data(), cut, 0) != static_cast<ssize_t>(cut) ||
      !reader.read(fd, cursor, lines) ||
      pwrite(fd, file.data() + cut, file.size() - cut, cut) !=
          static_cast<ssize_t>(file.size() - cut) ||
      !reader.read(fd, cursor, lines)) {
    abort();
  }
  return lines;
}

// Each of `out`'s lines ends in "\n" and holds no other control character.
void check_terminal_text(const std::string& out) {
  for (std::size_t i = 0; i < out.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(out[i]);
    const bool c1 = c == 0xC2 && i + 1 < out.size() &&
                    static_cast<unsigned char>(out[i + 1]) < 0xA0 &&
                    static_cast<unsigned char>(out[i + 1]) >= 0x80;
    if ((c < 0x20 && c != '\n') || c == 0x7F || c1) abort();
  }
  if (!out.empty() && out.back() != '\n') abort();
}

// The printers' output for `rows`: JSON, table and summary.
std::vector<std::string> print(LogKind kind, const std::vector<RowView>& rows) {
  std::vector<std::string> outputs;
  for (int form = 0; form < 3; ++form) {
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    if (out == nullptr) abort();
    {
      std::unique_ptr<RowPrinter> printer;
      Summary summary(kind == LogKind::kSystem ? kByDay : kUser);
      if (form < 2) {
        printer = make_printer(form == 0 ? Output::kJson : Output::kTable, kind,
                               out, 80);
      }
      for (const RowView& row : rows) {
        form < 2 ? printer->print(row) : summary.add(row);
      }
      if (form == 2) summary.print(out);
    }
    fclose(out);
    outputs.emplace_back(text, size);
    free(text);
  }
  return outputs;
}

std::string written_column(const std::string& field) {
  std::string out;
  for (char c : field) {
    out += c == '\r' ? "#015" : c == '\n' ? "#012" : std::string(1, c);
  }
  return out;
}

std::string json_value(const std::string& column) {
  std::string decoded;
  for (std::size_t i = 0; i < column.size(); ++i) {
    if (column.compare(i, 4, "#015") == 0 ||
        column.compare(i, 4, "#012") == 0) {
      decoded += column[i + 3] == '5' ? '\r' : '\n';
      i += 3;
    } else {
      decoded += column[i];
    }
  }
  return repaired_utf8(decoded);
}

void raw_file(LogKind kind, const std::string& file, std::size_t cut) {
  FileCursor cursor;
  const Lines lines = read_file(file, cut, &cursor);
  const std::size_t mark = kByteOrderMarkSize;
  if (file.compare(0, mark, kByteOrderMark) != 0) {
    if (!lines.texts.empty() || (file.size() >= mark && !cursor.refused)) {
      abort();
    }
    return;
  }
  const std::size_t end = static_cast<std::size_t>(cursor.offset);
  if (cursor.refused || end > file.size() ||
      lines.seen != file.substr(mark, end - mark) ||
      file.find('\n', end) != std::string::npos ||
      cursor.lines != static_cast<int64_t>(lines.texts.size())) {
    abort();
  }
  std::vector<RowView> rows;
  for (const std::string& text : lines.texts) {
    RowView row;
    const char* why = nullptr;
    if (decode_row(text, kind, &row, &why)) {
      rows.push_back(row);
    } else if (why == nullptr) {
      abort();
    }
  }
  const std::vector<std::string> out = print(kind, rows);
  std::size_t start = 0;
  for (std::size_t nl; (nl = out[0].find('\n', start)) != std::string::npos;
       start = nl + 1) {
    if (!nlohmann::json::accept(out[0].substr(start, nl - start))) abort();
  }
  if (start != out[0].size()) abort();
  check_terminal_text(out[1]);
  check_terminal_text(out[2]);
}

void round_trip(LogKind kind, int64_t time, std::string rest) {
  const LogKindInfo& info = kind_info(kind);
  const std::size_t count = info.column_count;
  std::vector<std::string> fields;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t nul = i + 1 < count ? rest.find('\0') : std::string::npos;
    std::string field = rest.substr(0, nul);
    rest = nul == std::string::npos ? "" : rest.substr(nul + 1);
    field.erase(std::remove(field.begin(), field.end(), '\0'), field.end());
    if (i + 1 < count) {
      field.erase(std::remove(field.begin(), field.end(), ','), field.end());
    }
    fields.push_back(field);
  }
  const std::string line = encode_row(LogRow{kind, time, fields});
  const std::string written_time = line.substr(0, line.find(','));
  FileCursor cursor;
  const Lines lines = read_file(kByteOrderMark + line + kLineEnd, 3, &cursor);
  RowView row;
  const char* why = nullptr;
  if (lines.texts.size() != 1 || lines.texts[0] != line ||
      !decode_row(lines.texts[0], kind, &row, &why) ||
      row.time != written_time || row.column_count != count) {
    abort();
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (row.columns[i] != written_column(fields[i])) abort();
  }
  const std::vector<std::string> out = print(kind, {row});
  const nlohmann::json json = nlohmann::json::parse(out[0]);
  std::string local(row.time);
  std::replace(local.begin(), local.end(), '/', '-');
  std::replace(local.begin(), local.end(), ' ', 'T');
  if (json.at("time") != std::string(row.time) ||
      json.at("timestamp").get<std::string>().compare(0, local.size(), local) !=
          0) {
    abort();
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (json.at(info.columns[i]) != json_value(std::string(row.columns[i])))
      abort();
  }
  check_terminal_text(out[1]);
  check_terminal_text(out[2]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  static const LogKind kKinds[] = {LogKind::kSystem, LogKind::kAccess,
                                   LogKind::kAlert, LogKind::kAccess};
  const LogKind kind = kKinds[data[0] & 3];
  setenv("TZ", data[0] & 4 ? "Europe/Berlin" : "UTC", 1);
  base::reload_time_zone();
  if ((data[0] & 8) == 0) {
    const std::string file(reinterpret_cast<const char*>(data + 2), size - 2);
    raw_file(kind, file, file.size() * data[1] / 256);
  } else if (size >= 5) {
    int32_t time;
    std::memcpy(&time, data + 1, sizeof time);
    round_trip(kind, time,
               std::string(reinterpret_cast<const char*>(data + 5), size - 5));
  }
  return 0;
}
