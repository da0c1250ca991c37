#include "query/row_printer.h"

#include <algorithm>
#include <vector>

#include "base/rfc3339.h"
#include "base/utf8.h"
#include "query/visible_text.h"

namespace quillo {
namespace {

// "\u00XX" for the control `c`.
void append_json_control(std::string& out, int c) {
  static const char kHex[] = "0123456789abcdef";
  out += "\\u00";
  out += kHex[c >> 4];
  out += kHex[c & 15];
}

void append_escaped_char(std::string& out, unsigned char c) {
  switch (c) {
    case '"':
      out += "\\\"";
      break;
    case '\\':
      out += "\\\\";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\r':
      out += "\\r";
      break;
    case '\t':
      out += "\\t";
      break;
    default:
      if (c < 0x20 || c == 0x7F) {
        append_json_control(out, c);
      } else {
        out += static_cast<char>(c);
      }
  }
}

// The rows as stored; on a terminal, as shown (visible_text.h), since a
// stored row may hold any control a sender put in.
class CsvPrinter final : public RowPrinter {
 public:
  CsvPrinter(std::FILE* out, bool terminal) : out_(out), terminal_(terminal) {}
  void print(const RowView& row, int64_t /*time*/) override {
    if (!terminal_) {
      std::fwrite(row.line.data(), 1, row.line.size(), out_);
      std::fputc('\n', out_);
      return;
    }
    text_.clear();
    append_visible(text_, row.line);
    text_ += '\n';
    std::fwrite(text_.data(), 1, text_.size(), out_);
  }

 private:
  std::FILE* out_;
  bool terminal_;
  std::string text_;  // reused for every row
};

class JsonPrinter final : public RowPrinter {
 public:
  JsonPrinter(LogKind kind, std::FILE* out) : kind_(kind), out_(out) {}
  void print(const RowView& row, int64_t time) override {
    text_.assign("{\"time\":");
    append_json_string(text_, row.time);
    text_ += ",\"timestamp\":";
    // The reader's time: it saw the rows in file order, which tells the
    // two occurrences of a repeated hour apart.
    if (time == kNoTime) time = times_.parse(row.time);
    append_json_string(text_, base::rfc3339_local_time(time));
    const LogKindInfo& info = kind_info(kind_);
    for (std::size_t f = 0; f < info.column_count; ++f) {
      text_ += ",\"";
      text_ += info.columns[f];
      text_ += "\":";
      append_json_string(text_, row.columns[f]);
    }
    text_ += "}\n";
    std::fwrite(text_.data(), 1, text_.size(), out_);
  }

 private:
  LogKind kind_;
  std::FILE* out_;
  RowTimeParser times_;
  std::string text_;  // reused for every row
};

class TablePrinter final : public RowPrinter {
 public:
  TablePrinter(LogKind kind, std::FILE* out, int width);
  void print(const RowView& row, int64_t /*time*/) override {
    text_.clear();
    append_cell(text_, row.time, 19, true);
    for (std::size_t i = 0; i < widths_.size(); ++i) {
      text_ += "  ";
      append_cell(text_, row.columns[i], widths_[i], i + 1 < widths_.size());
    }
    text_ += '\n';
    std::fwrite(text_.data(), 1, text_.size(), out_);
  }

 private:
  std::FILE* out_;
  std::vector<int> widths_;  // of the columns after the time
  std::string text_;
};

TablePrinter::TablePrinter(LogKind kind, std::FILE* out, int width)
    : out_(out) {
  // The last column takes what the others leave, but never less than 20.
  if (kind == LogKind::kSystem) {
    widths_ = {16, 16, 0};
  } else {
    widths_ = {10, 12, 15, 10, 12, 10, 0};
  }
  int used = 19;
  for (int w : widths_) used += w + 2;
  widths_.back() = std::max(20, width - used);
  text_.clear();
  append_cell(text_, "time", 19, true);
  for (std::size_t i = 0; i < widths_.size(); ++i) {
    text_ += "  ";
    append_cell(text_, kind_info(kind).columns[i], widths_[i],
                i + 1 < widths_.size());
  }
  text_ += '\n';
  std::fwrite(text_.data(), 1, text_.size(), out_);
}

// The key a row is counted under.
std::string_view summary_key(const RowView& row, int count_by) {
  if (count_by == kByDay) return row.time.substr(0, row.time.size() - 9);
  if (count_by == kByHour) return row.time.substr(0, row.time.size() - 6);
  return row.columns[count_by];
}

}  // namespace

std::unique_ptr<RowPrinter> make_printer(Output output, LogKind kind,
                                         std::FILE* out, int width,
                                         bool terminal) {
  switch (output) {
    case Output::kJson:
      return std::make_unique<JsonPrinter>(kind, out);
    case Output::kTable:
      return std::make_unique<TablePrinter>(kind, out, width);
    case Output::kCsv:
      break;
  }
  return std::make_unique<CsvPrinter>(out, terminal);
}

void append_json_string(std::string& out, std::string_view value) {
  // The column as received: a CR or LF in it is escaped below like any
  // other control.
  const std::string text = unescape_column(value);
  const std::string_view rest(text);
  out += '"';
  std::size_t i = 0;
  while (i < rest.size()) {
    if (const std::size_t n = base::utf8_length(rest.substr(i)); n == 0) {
      out += base::kReplacementCharacter;  // for one byte that is not UTF-8
      ++i;
    } else if (n == 1) {
      append_escaped_char(out, static_cast<unsigned char>(rest[i++]));
    } else if (const int c1 = control_at(rest.substr(i)); c1 >= 0) {
      // Valid JSON either way; escaped, no terminal obeys it.
      append_json_control(out, c1);
      i += n;
    } else {
      out.append(rest.data() + i, n);
      i += n;
    }
  }
  out += '"';
}

void append_cell(std::string& out, std::string_view value, int width,
                 bool pad) {
  int shown = 0;
  std::string shape;  // the next character as shown
  for (std::size_t i = 0; i < value.size();) {
    shape.clear();
    std::size_t next = i;
    const int columns = append_visible_char(shape, value, &next);
    // While more follows, the last column is kept for the '~'.
    const int room = width - shown - (next < value.size() ? 1 : 0);
    if (columns > room) {
      if (shown < width) {
        out += '~';  // the value goes on beyond the column
        ++shown;
      }
      break;
    }
    out += shape;
    shown += columns;
    i = next;
  }
  if (pad) out.append(static_cast<std::size_t>(width - shown), ' ');
}

void Summary::add(const RowView& row) {
  const std::string_view key = summary_key(row, count_by_);
  const auto it = counts_.find(key);
  if (it != counts_.end()) {
    ++it->second;
  } else {
    counts_.emplace(std::string(key), 1);
  }
}

std::vector<std::pair<std::string_view, int64_t>> Summary::sorted() const {
  std::vector<std::pair<std::string_view, int64_t>> rows(counts_.begin(),
                                                         counts_.end());
  std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
    return a.second > b.second;
  });
  return rows;
}

void Summary::print(std::FILE* out) const {
  constexpr int kBarWidth = 40;
  const std::vector<std::pair<std::string_view, int64_t>> rows = sorted();
  if (rows.empty()) return;
  const int64_t largest = rows.front().second;
  std::size_t key_width = 0;
  for (const auto& r : rows) {
    key_width =
        std::max(key_width, r.first.empty() ? 7 : visible_width(r.first));
  }
  key_width = std::min<std::size_t>(key_width, 40);
  const int count_width = static_cast<int>(std::to_string(largest).size());
  std::string line;
  for (const auto& [key, count] : rows) {
    line.clear();
    append_cell(line, key.empty() ? "(empty)" : key,
                static_cast<int>(key_width), true);
    const std::string number = std::to_string(count);
    line.append(2 + count_width - number.size(), ' ').append(number);
    // Every counted value gets at least one mark.
    const int64_t marks = std::max<int64_t>(1, count * kBarWidth / largest);
    line.append(" ").append(static_cast<std::size_t>(marks), '#');
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), out);
  }
}

}  // namespace quillo
