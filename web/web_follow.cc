#include "web/web_follow.h"

#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <utility>

#include "query/query_options.h"
#include "query/row_printer.h"
#include "reader/log_reader.h"
#include "reader/log_tree.h"
#include "web/string_file.h"
#include "web/web_params.h"

namespace quillo {
namespace {

// Turns the rows the reader hands on into events. The start is held back
// until caught_up(), so that only its last kMaxFollowStart rows are kept.
class EventConsumer final : public RowConsumer {
 public:
  EventConsumer(LogKind kind, std::string* pending)
      : printer_(make_printer(Output::kJson, kind, out_.file(), 80)),
        pending_(pending) {}

  void row(const RowView& row, int64_t time) override {
    printer_->print(row, time);
    std::string line = out_.take();
    if (!line.empty() && line.back() == '\n') line.pop_back();
    std::string event = "data: " + line + "\n\n";
    if (caught_up_) {
      *pending_ += event;
      return;
    }
    start_.push_back(std::move(event));
    if (static_cast<std::int64_t>(start_.size()) > kMaxFollowStart) {
      start_.pop_front();
    }
  }

  void caught_up() override {
    for (const std::string& event : start_) *pending_ += event;
    start_.clear();
    *pending_ += "event: caught-up\ndata: \n\n";
    caught_up_ = true;
  }

 private:
  StringFile out_;
  std::unique_ptr<RowPrinter> printer_;
  std::string* pending_;
  std::deque<std::string> start_;
  bool caught_up_ = false;
};

}  // namespace

struct FollowStream::State {
  State(const std::string& log_root, const QueryOptions& options,
        const Ends& where)
      : reader(log_root, log_query(options), observer),
        consumer(options.kind, &pending),
        ends(where) {}

  QuietObserver observer;
  LogReader reader;
  std::string pending;  // events not yet sent
  std::size_t sent = 0;  // bytes of `pending` sent
  EventConsumer consumer;
  Ends ends;
};

std::unique_ptr<FollowStream> FollowStream::open(
    const std::string& log_root, const WebParams& params, std::int64_t now,
    const Ends& ends, WebAnswer* error) {
  QueryOptions options;
  std::int64_t lines = QueryOptions().lines;
  if (has_param(params, "until")) {
    *error = bad_request("a follow has no end", "until");
    return nullptr;
  }
  if (!parse_filters(params, now, {"lines"}, &options, error) ||
      !number_param(params, "lines", 0, kMaxFollowStart, &lines, error)) {
    return nullptr;
  }
  options.follow = true;
  options.lines = static_cast<int>(lines);
  options.output = Output::kJson;
  try {
    auto state =
        std::make_unique<State>(log_root, options, ends);
    state->reader.begin_follow(state->consumer);
    return std::unique_ptr<FollowStream>(new FollowStream(std::move(state)));
  } catch (const TreeError& e) {
    error->status = 500;
    error->body = "{\"error\":" + json_string(e.what()) + "}\n";
    return nullptr;
  }
}

FollowStream::FollowStream(std::unique_ptr<State> state)
    : state_(std::move(state)) {}

FollowStream::~FollowStream() = default;

long FollowStream::read(char* out, std::size_t max) {
  State& s = *state_;
  if (s.sent == s.pending.size()) {
    s.pending.clear();
    s.sent = 0;
    // Writes of rows the query leaves out wake the reader too, so the
    // keep-alive goes by the clock, not by the steps.
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(s.ends.keep_alive_ms);
    while (s.pending.empty()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) {
        // A comment, which clients ignore: the connection is known to be
        // alive, and a client that went away is noticed.
        s.pending = ": keep-alive\n\n";
        break;
      }
      try {
        // A client sends nothing after its request: readable or hung up,
        // its socket says it went (or broke the protocol).
        if (!s.reader.follow_step(s.consumer, static_cast<int>(left),
                                  {{s.ends.stop_fd, POLLIN, 0},
                                   {s.ends.client_fd, POLLIN | POLLRDHUP, 0}})) {
          return -1;
        }
      } catch (const TreeError&) {
        return -1;
      }
    }
  }
  const std::size_t n = std::min(max, s.pending.size() - s.sent);
  std::memcpy(out, s.pending.data() + s.sent, n);
  s.sent += n;
  return static_cast<long>(n);
}

}  // namespace quillo
