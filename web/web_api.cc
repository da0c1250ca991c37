#include "web/web_api.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include "logstore/log_kind.h"
#include "query/query_options.h"
#include "query/row_printer.h"
#include "reader/log_reader.h"
#include "reader/log_tree.h"

namespace quillo {
namespace {

// The filters quillo-query takes, by their option names.
bool is_filter(const std::string& name) {
  if (name == "kind" || name == "since" || name == "until") return true;
  const std::string field = name.compare(0, 4, "not-") == 0 ? name.substr(4) : name;
  const LogKindInfo& access = kind_info(LogKind::kAccess);
  for (std::size_t f = 0; f < access.column_count; ++f) {
    if (field == access.columns[f]) return true;
  }
  return false;
}

std::string json_string(const std::string& text) {
  std::string out;
  append_json_string(out, text);
  return out;
}

// The options the filters of `params` make, parsed as quillo-query parses
// them; the answer is set instead (400) when one is refused. `own` names
// the parameters the endpoint reads itself.
bool parse_filters(const WebParams& params, std::int64_t now,
                   const std::vector<std::string>& own, QueryOptions* options,
                   WebAnswer* answer) {
  std::vector<std::string> args;
  for (const auto& [name, value] : params) {
    bool mine = false;
    for (const std::string& o : own) mine = mine || o == name;
    if (mine) continue;
    if (!is_filter(name)) {
      *answer = bad_request("unknown parameter", name);
      return false;
    }
    args.push_back("--" + name + "=" + value);
    try {
      // Parsed as it grows, so that the refusal names its parameter.
      *options = parse_query_options(args, now);
    } catch (const UsageError& e) {
      *answer = bad_request(e.what(), name);
      return false;
    }
  }
  if (args.empty()) *options = parse_query_options(args, now);
  return true;
}

// A whole number from `params` named `name`, within [low, high]; false
// (and the answer set) for one that is not.
bool number_param(const WebParams& params, const std::string& name,
                  std::int64_t low, std::int64_t high, std::int64_t* value,
                  WebAnswer* answer) {
  for (const auto& [key, text] : params) {
    if (key != name) continue;
    char* end = nullptr;
    const long long parsed = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || parsed < low || parsed > high) {
      *answer = bad_request("not a whole number from " + std::to_string(low) +
                                " to " + std::to_string(high),
                            name);
      return false;
    }
    *value = parsed;
  }
  return true;
}

// Hands the rows of a page to a JSON printer on a memory stream.
class PageConsumer final : public RowConsumer {
 public:
  PageConsumer(RowPrinter* printer, std::int64_t skip, std::int64_t limit)
      : printer_(printer), skip_(skip), limit_(limit) {}
  void row(const RowView& row, int64_t time) override {
    const std::int64_t n = seen_++;
    if (n < skip_ || n >= skip_ + limit_) return;
    printer_->print(row, time);
  }
  std::int64_t seen() const { return seen_; }

 private:
  RowPrinter* printer_;
  std::int64_t skip_;
  std::int64_t limit_;
  std::int64_t seen_ = 0;
};

class CountConsumer final : public RowConsumer {
 public:
  explicit CountConsumer(Summary* summary) : summary_(summary) {}
  void row(const RowView& row, int64_t) override { summary_->add(row); }

 private:
  Summary* summary_;
};

// Rows the reader leaves out are the tree's business, not the client's.
class QuietObserver final : public ReadObserver {
 public:
  void entry_left_out(const std::string&, std::string_view) override {}
  void line_left_out(const std::string&, int64_t, std::string_view) override {}
};

// A stdio stream over a string, closed with it.
class MemoryStream {
 public:
  MemoryStream() : file_(open_memstream(&buffer_, &size_)) {}
  ~MemoryStream() {
    if (file_ != nullptr) std::fclose(file_);
    std::free(buffer_);
  }
  MemoryStream(const MemoryStream&) = delete;
  MemoryStream& operator=(const MemoryStream&) = delete;
  std::FILE* file() const { return file_; }
  std::string text() {
    std::fflush(file_);
    return std::string(buffer_ == nullptr ? "" : buffer_, size_);
  }

 private:
  char* buffer_ = nullptr;
  std::size_t size_ = 0;
  std::FILE* file_;
};

}  // namespace

WebAnswer bad_request(const std::string& message, const std::string& parameter) {
  WebAnswer answer;
  answer.status = 400;
  answer.body = "{\"error\":" + json_string(message);
  if (!parameter.empty()) answer.body += ",\"parameter\":" + json_string(parameter);
  answer.body += "}\n";
  return answer;
}

WebApi::WebApi(std::string log_root, std::string stats_path)
    : log_root_(std::move(log_root)), stats_path_(std::move(stats_path)) {}

WebAnswer WebApi::get(const std::string& path, const WebParams& params,
                      std::int64_t now) const {
  try {
    if (path == "/api/rows") return rows(params, now);
    if (path == "/api/count") return count(params, now);
    if (path == "/metrics") return metrics();
  } catch (const TreeError& e) {
    WebAnswer answer;
    answer.status = 500;
    answer.body = "{\"error\":" + json_string(e.what()) + "}\n";
    return answer;
  }
  WebAnswer answer;
  answer.status = 404;
  answer.body = "{\"error\":\"no such path\"}\n";
  return answer;
}

WebAnswer WebApi::rows(const WebParams& params, std::int64_t now) const {
  WebAnswer answer;
  QueryOptions options;
  std::int64_t limit = kDefaultRowLimit;
  std::int64_t after = 0;
  if (!parse_filters(params, now, {"limit", "after"}, &options, &answer) ||
      !number_param(params, "limit", 1, kMaxRowLimit, &limit, &answer) ||
      !number_param(params, "after", 0, INT64_MAX / 2, &after, &answer)) {
    return answer;
  }
  QuietObserver observer;
  options.output = Output::kJson;  // the rows' instants come with them
  LogReader reader(log_root_, log_query(options), observer);
  MemoryStream out;
  std::unique_ptr<RowPrinter> printer =
      make_printer(Output::kJson, options.kind, out.file(), 80);
  PageConsumer page(printer.get(), after, limit);
  reader.read(page);
  answer.content_type = "application/x-ndjson";
  answer.body = out.text();
  if (page.seen() > after + limit) answer.next = std::to_string(after + limit);
  return answer;
}

WebAnswer WebApi::count(const WebParams& params, std::int64_t now) const {
  WebAnswer answer;
  std::string by;
  for (const auto& [name, value] : params) {
    if (name == "by") by = value;
  }
  QueryOptions options;
  if (!parse_filters(params, now, {"by"}, &options, &answer)) return answer;
  int count_by = -1;
  try {
    count_by = parse_query_options({"--count-by=" + by}, now).count_by;
  } catch (const UsageError& e) {
    return bad_request(e.what(), "by");
  }
  Summary summary(count_by);
  QuietObserver observer;
  LogReader reader(log_root_, log_query(options), observer);
  CountConsumer consumer(&summary);
  reader.read(consumer);
  answer.body = "[";
  bool first = true;
  for (const auto& [value, n] : summary.sorted()) {
    answer.body += first ? "" : ",";
    answer.body += "{\"value\":" + json_string(std::string(value)) +
                   ",\"count\":" + std::to_string(n) + "}";
    first = false;
  }
  answer.body += "]\n";
  return answer;
}

WebAnswer WebApi::metrics() const {
  WebAnswer answer;
  std::ifstream in(stats_path_);
  if (!in) {
    answer.status = 503;
    answer.body = "{\"error\":\"quillod has written no counters yet\"}\n";
    return answer;
  }
  std::stringstream text;
  text << in.rdbuf();
  answer.content_type = "text/plain; version=0.0.4";
  answer.body = prometheus_text(text.str());
  return answer;
}

std::string prometheus_text(const std::string& counters) {
  std::string out;
  std::istringstream lines(counters);
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t space = line.find(' ');
    if (space == std::string::npos || space == 0) continue;
    const std::string name = line.substr(0, space);
    const std::string value = line.substr(space + 1);
    bool ok = !value.empty();
    for (const char c : value) ok = ok && c >= '0' && c <= '9';
    for (const char c : name) {
      ok = ok && ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_');
    }
    if (!ok) continue;
    // Sizes and queue lengths go up and down; the rest only count up.
    const bool gauge = name == "forward_spool_bytes" || name == "system_queue_rows";
    out += "# TYPE quillo_" + name + (gauge ? " gauge\n" : " counter\n");
    out += "quillo_" + name + " " + value + "\n";
  }
  return out;
}

}  // namespace quillo
