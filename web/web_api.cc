#include "web/web_api.h"

#include <cstdio>
#include <deque>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>

#include "logstore/log_kind.h"
#include "query/query_options.h"
#include "query/row_printer.h"
#include "reader/log_reader.h"
#include "reader/log_tree.h"
#include "web/string_file.h"
#include "web/web_params.h"

namespace quillo {
namespace {

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

// Keeps the printed lines of the last `keep` rows.
class TailConsumer final : public RowConsumer {
 public:
  TailConsumer(RowPrinter* printer, StringFile* out, std::int64_t keep)
      : printer_(printer), out_(out), keep_(static_cast<std::size_t>(keep)) {}
  void row(const RowView& row, int64_t time) override {
    printer_->print(row, time);
    lines_.push_back(out_->take());
    if (lines_.size() > keep_) lines_.pop_front();
  }
  std::string text() const {
    std::string all;
    for (const std::string& line : lines_) all += line;
    return all;
  }

 private:
  RowPrinter* printer_;
  StringFile* out_;
  std::size_t keep_;
  std::deque<std::string> lines_;
};

class CountConsumer final : public RowConsumer {
 public:
  explicit CountConsumer(Summary* summary) : summary_(summary) {}
  void row(const RowView& row, int64_t) override { summary_->add(row); }

 private:
  Summary* summary_;
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
  std::int64_t last = 0;
  if (!parse_filters(params, now, {"limit", "after", "last"}, &options, &answer) ||
      !number_param(params, "limit", 1, kMaxRowLimit, &limit, &answer) ||
      !number_param(params, "after", 0, INT64_MAX / 2, &after, &answer) ||
      !number_param(params, "last", 1, kMaxRowLimit, &last, &answer)) {
    return answer;
  }
  if (last > 0 && (has_param(params, "limit") || has_param(params, "after"))) {
    return bad_request("last does not combine with limit or after", "last");
  }
  QuietObserver observer;
  options.output = Output::kJson;  // the rows' instants come with them
  LogReader reader(log_root_, log_query(options), observer);
  StringFile out;
  std::unique_ptr<RowPrinter> printer =
      make_printer(Output::kJson, options.kind, out.file(), 80);
  answer.content_type = "application/x-ndjson";
  if (last > 0) {
    TailConsumer tail(printer.get(), &out, last);
    reader.read(tail);
    answer.body = tail.text();
    return answer;
  }
  PageConsumer page(printer.get(), after, limit);
  reader.read(page);
  answer.body = out.take();
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
