#include "client/session.h"

#include <poll.h>

#include <cerrno>
#include <utility>

namespace quillo {
namespace {

// A record is sent at most this often: once, and once more after its
// session was lost.
constexpr int kMaxSends = 2;

SendStatus status_of(int code) {
  if (code == kResultAccepted) return kSendTaken;
  if (code == kResultNotStored) return kSendNotStored;
  return kSendNoAnswer;  // a code no session answer has
}

}  // namespace

SessionSender::SessionSender(std::string socket_path,
                             std::chrono::steady_clock::duration bound,
                             std::FILE* notes)
    : socket_path_(std::move(socket_path)), bound_(bound), notes_(notes) {}

void SessionSender::submit(std::unique_ptr<RequestData> record) {
  // Answers that are already here first: a session the daemon closed
  // after answering is then seen as closed before a record is sent on it.
  take_arrived();
  drop_closed_session();
  Entry entry;
  entry.record = std::move(record);
  entries_.push_back(std::move(entry));
  send_waiting();
}

SendStatus SessionSender::next_outcome() {
  while (entries_.front().state != State::kDone) {
    // Not done means in flight: send_waiting() leaves nothing waiting.
    if (!take_answer()) send_waiting();
  }
  const SendStatus status = entries_.front().status;
  entries_.pop_front();
  return status;
}

bool SessionSender::outcome_ready() {
  take_arrived();
  return !entries_.empty() && entries_.front().state == State::kDone;
}

bool SessionSender::can_send(SendStatus* why) {
  take_arrived();
  drop_closed_session();
  return open_channel(why) != Channel::kNone;
}

void SessionSender::send_waiting() {
  // Set once a channel could not be had: the rest fail without a try.
  bool failed = false;
  SendStatus failure = kSendNoConnection;
  while (Entry* entry = first(State::kWaiting)) {
    Channel channel = Channel::kNone;
    if (!failed) channel = open_channel(&failure);
    if (channel == Channel::kNone) {
      failed = true;
      entry->state = State::kDone;
      entry->status = failure;
    } else if (channel == Channel::kFallback) {
      entry->status = send_record(socket_path_, *entry->record, bound_);
      entry->state = State::kDone;
      --fallback_left_;
      // No daemon at all: the next one to answer may know sessions.
      if (entry->status == kSendNoConnection) fallback_left_ = 0;
    } else {
      ++entry->sends;
      entry->state = State::kInFlight;
      session_->set_deadline(std::chrono::steady_clock::now() + bound_);
      if (session_->send(*entry->record) != 0) {
        // The daemon may have answered before it closed: those answers
        // are still to be read, and their records are not sent again.
        take_arrived_answers();
        if (session_) lose_session(kSendFailed);
      }
    }
  }
}

SessionSender::Channel SessionSender::open_channel(SendStatus* failure) {
  if (session_) return Channel::kSession;
  if (fallback_left_ > 0) return Channel::kFallback;
  auto connection = std::make_unique<Connection>(socket_path_);
  connection->set_deadline(std::chrono::steady_clock::now() + bound_);
  if (connection->connect() != 0) {
    *failure = kSendNoConnection;
    return Channel::kNone;
  }
  ResultData answer;
  if (connection->send(ReqSession()) == 0 && connection->receive(answer) == 0 &&
      answer.code() == kResultSessionOpen) {
    session_ = std::move(connection);
    ++sessions_opened_;
    return Channel::kSession;
  }
  if (answer.size == 0 && errno == ETIMEDOUT) {
    // A daemon that does not answer within the bound would not answer a
    // record on its own connection either.
    *failure = kSendNoAnswer;
    return Channel::kNone;
  }
  // 00 02 00 00 from a daemon without sessions, or a refusal.
  if (notes_ != nullptr) {
    std::fputs(
        "quillo-send: quillod opened no session: one connection per record\n",
        notes_);
    std::fflush(notes_);
  }
  fallback_left_ = kFallbackRecords;
  return Channel::kFallback;
}

bool SessionSender::take_answer() {
  Entry* entry = first(State::kInFlight);
  ResultData answer;
  session_->set_deadline(std::chrono::steady_clock::now() + bound_);
  if (session_->receive(answer) != 0) {
    lose_session(kSendNoAnswer);
    return false;
  }
  entry->status = status_of(answer.code());
  entry->state = State::kDone;
  return true;
}

void SessionSender::take_arrived() {
  if (!take_arrived_answers()) send_waiting();
}

bool SessionSender::take_arrived_answers() {
  while (session_ && first(State::kInFlight) && readable_now()) {
    if (!take_answer()) return false;
  }
  return true;
}

void SessionSender::lose_session(SendStatus reason) {
  session_.reset();
  for (Entry& entry : entries_) {
    if (entry.state != State::kInFlight) continue;
    if (entry.sends >= kMaxSends) {
      entry.state = State::kDone;
      entry.status = reason;
    } else {
      entry.state = State::kWaiting;
    }
  }
}

void SessionSender::drop_closed_session() {
  // Nothing is owed on it, so what is readable is its end.
  if (session_ && !first(State::kInFlight) && readable_now()) session_.reset();
}

bool SessionSender::readable_now() const {
  pollfd p{session_->fd(), POLLIN, 0};
  int rc;
  do {
    rc = ::poll(&p, 1, 0);
  } while (rc < 0 && errno == EINTR);
  return rc > 0;
}

SessionSender::Entry* SessionSender::first(State state) {
  for (Entry& entry : entries_) {
    if (entry.state == state) return &entry;
  }
  return nullptr;
}

}  // namespace quillo
