#include "client/stream_replies.h"

#include <cstring>
#include <thread>
#include <utility>

namespace quillo {
namespace {

// How often a waiting commit tells omprog it is still alive.
constexpr std::chrono::seconds kKeepAliveEvery{1};

}  // namespace

const char* error_line(SendStatus status) {
  switch (status) {
    case kSendNoConnection:
      return "Error: no connection to quillod";
    case kSendFailed:
      return "Error: sending failed";
    case kSendNotStored:
      return "Error: record not stored";
    case kSendNoAnswer:
    case kSendTaken:
      break;
  }
  return "Error: no answer from quillod";
}

StreamReplies::StreamReplies(RecordSink* sink, std::size_t window,
                             std::FILE* out, bool confirm, std::FILE* notes,
                             Clock clock, Pause pause)
    : sink_(sink),
      window_(window),
      out_(out),
      confirm_(confirm),
      notes_(notes),
      clock_(clock),
      pause_(pause) {}

void StreamReplies::sleep_for(std::chrono::milliseconds how_long) {
  std::this_thread::sleep_for(how_long);
}

void StreamReplies::ready() { answer("OK"); }

void StreamReplies::keep_for_retry() {
  failed_ = tracking_ ? std::move(offered_) : std::vector<Offered>();
  failed_transaction_ = transaction_;
  offered_.clear();
  tracking_ = true;
}

std::size_t StreamReplies::track(std::string body, bool taken) {
  if (!tracking_ || offered_.size() >= kMaxTrackedRecords) {
    tracking_ = false;
    return kMaxTrackedRecords;
  }
  offered_.push_back(Offered{std::move(body), taken});
  return offered_.size() - 1;
}

bool StreamReplies::taken_before(const std::string& body) {
  if (!retrying_) return false;
  if (retry_at_ >= failed_.size() || failed_[retry_at_].body != body) {
    retrying_ = false;  // another batch: nothing of it was sent before
    failed_.clear();
    return false;
  }
  return failed_[retry_at_++].taken;
}

void StreamReplies::begin_mark() {
  // An open transaction ends here uncommitted: rsyslog sends its lines
  // again. Its records still outstanding are counted as they come.
  if (in_transaction_) keep_for_retry();
  ++transaction_;
  in_transaction_ = false;
  failure_.clear();
  failure_status_ = kSendTaken;
  offered_.clear();
  tracking_ = true;
  // What the failed transaction's records came to decides the retry.
  while (!owners_.empty() && owners_.front().in_transaction &&
         owners_.front().transaction == failed_transaction_) {
    take_one();
  }
  retrying_ = !failed_.empty();
  retry_at_ = 0;
  in_transaction_ = true;
  answer("OK");
}

void StreamReplies::take_transaction(
    std::chrono::steady_clock::time_point* last) {
  // The transaction's records are the newest outstanding ones.
  while (!owners_.empty() && owners_.back().in_transaction &&
         owners_.back().transaction == transaction_) {
    take_one();
    keep_alive(last);
  }
}

bool StreamReplies::wait_for_daemon(
    std::chrono::steady_clock::time_point* last) {
  if (notes_ != nullptr) {
    std::fprintf(notes_,
                 "quillo-send: %s; the transaction waits for quillod\n",
                 failure_.c_str() + std::strlen("Error: "));
  }
  const auto until = clock_() + kCommitWait;
  while (clock_() < until) {
    keep_alive(last);
    pause_(kCommitRetryEvery);
    SendStatus why = kSendNoConnection;
    if (!sink_->can_send(&why)) continue;
    failure_.clear();
    failure_status_ = kSendTaken;
    for (std::size_t i = 0; i < offered_.size(); ++i) {
      if (offered_[i].taken) continue;
      while (owners_.size() >= window_) take_one();
      const std::string& body = offered_[i].body;
      auto record = std::make_unique<RequestData>();
      record->set_size(static_cast<unsigned short>(body.size()));
      std::memcpy(record->data.get(), body.data(), body.size());
      --not_taken_;  // counted again should it fail once more
      sink_->submit(std::move(record));
      owners_.push_back(Owner{true, transaction_, i});
    }
    take_transaction(last);
    if (failure_.empty()) return true;
    if (failure_status_ == kSendNotStored) return false;
  }
  if (notes_ != nullptr) {
    std::fprintf(notes_, "quillo-send: no quillod for %lld s; the commit fails\n",
                 static_cast<long long>(kCommitWait.count()));
  }
  return false;
}

void StreamReplies::commit_mark() {
  if (!in_transaction_) {
    answer("OK");  // nothing to commit
    return;
  }
  auto last = clock_();
  take_transaction(&last);
  // A daemon that went away may be back in a moment; one that did not
  // store a record will not store it now either.
  if (!failure_.empty() && failure_status_ != kSendNotStored && tracking_) {
    wait_for_daemon(&last);
  }
  in_transaction_ = false;
  if (!failure_.empty()) {
    keep_for_retry();
  } else {
    failed_.clear();
    failed_transaction_ = 0;
  }
  retrying_ = false;
  answer(failure_.empty() ? "OK" : failure_.c_str());
}

void StreamReplies::record(std::unique_ptr<RequestData> record) {
  while (owners_.size() >= window_) take_one();
  std::string body;
  if (in_transaction_) {
    body.assign(reinterpret_cast<const char*>(record->data.get()),
                record->size);
  }
  if (in_transaction_ && !failure_.empty()) {
    // The whole transaction comes again: sending this now would only
    // log it twice.
    ++not_taken_;
    track(std::move(body), false);
    answer("DEFER_COMMIT");
    return;
  }
  if (in_transaction_ && taken_before(body)) {
    // Its row is in the log from the first try.
    track(std::move(body), true);
    answer("DEFER_COMMIT");
    return;
  }
  const std::size_t line =
      in_transaction_ ? track(std::move(body), false) : 0;
  sink_->submit(std::move(record));
  owners_.push_back(Owner{in_transaction_, transaction_, line});
  if (in_transaction_) {
    answer("DEFER_COMMIT");
  } else {
    answers_.push_back(Answer{true, std::string()});
  }
  take_ready();
}

void StreamReplies::line_done() {
  answer(in_transaction_ ? "DEFER_COMMIT" : "OK");
}

void StreamReplies::before_wait() {
  if (in_transaction_) {
    take_ready();  // omprog waits for nothing but the commit's answer
    return;
  }
  while (!owners_.empty()) take_one();
}

void StreamReplies::finish() {
  while (!owners_.empty()) take_one();
}

void StreamReplies::answer(const char* text) {
  answers_.push_back(Answer{false, text});
  write_done_answers();
}

void StreamReplies::take_one() {
  const SendStatus status = sink_->next_outcome();
  const Owner owner = owners_.front();
  owners_.pop_front();
  if (status != kSendTaken) ++not_taken_;
  if (!owner.in_transaction) {
    for (Answer& a : answers_) {
      if (!a.waits) continue;
      a.waits = false;
      a.text = status == kSendTaken ? "OK" : error_line(status);
      break;
    }
    write_done_answers();
  } else {
    if (status == kSendTaken) note_taken(owner);
    if (in_transaction_ && owner.transaction == transaction_ &&
        status != kSendTaken && failure_.empty()) {
      failure_ = error_line(status);
      failure_status_ = status;
    }
  }
}

void StreamReplies::note_taken(const Owner& owner) {
  std::vector<Offered>* lines = nullptr;
  if (owner.transaction == transaction_) lines = &offered_;
  if (owner.transaction == failed_transaction_) lines = &failed_;
  if (lines != nullptr && owner.line < lines->size()) {
    (*lines)[owner.line].taken = true;
  }
}

void StreamReplies::take_ready() {
  while (!owners_.empty() && sink_->outcome_ready()) take_one();
}

void StreamReplies::write_done_answers() {
  while (!answers_.empty() && !answers_.front().waits) {
    if (confirm_) {
      std::fputs(answers_.front().text.c_str(), out_);
      std::fputc('\n', out_);
      std::fflush(out_);
    }
    answers_.pop_front();
  }
}

void StreamReplies::keep_alive(std::chrono::steady_clock::time_point* last) {
  if (!confirm_ || !answers_.empty()) return;
  const auto now = clock_();
  if (now - *last < kKeepAliveEvery) return;
  // Leading dots of an answer line are omprog's keep-alive.
  std::fputc('.', out_);
  std::fflush(out_);
  *last = now;
}

}  // namespace quillo
