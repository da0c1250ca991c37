// The record sink of `quillo-send --stream`: records go to the daemon over
// a session, one connection carrying any number of them, each sent without
// waiting for the answers of those before it; the answers come back in
// order:
//
//   client -> 00 06 00 02 00 02 00 02 00 01   session request, version 1
//   daemon -> 00 02 00 05                      session open
//   client -> frame frame frame ...            access and system records
//   daemon -> 00 02 00 00  00 02 00 03 ...     one answer each: taken, not
//                                              stored
//
// A daemon without sessions answers 00 02 00 00 to the request and closes;
// the sender then sends one record per connection (send_record), as it
// also does when the daemon refuses the session in any other way (closes
// without an answer, answers another code). It asks for a session again
// after kFallbackRecords such records, or as soon as a record finds no
// daemon (the one that comes back may know sessions).
//
// Every wait is bounded by `bound`: a session whose next answer does not
// come within it, or whose connection fails, is lost. The records in
// flight on a lost session are sent once more, on a new session (or one
// connection each); a record lost a second time is reported kSendNoAnswer
// (kSendFailed when its sending failed). A record the daemon wrote just
// before the loss is then logged twice, as when a one-shot answer is lost.
// When a connect fails, the records still waiting to be sent fail with the
// same status without another try: a daemon that is down costs one connect
// per submit, never a loop.
//
// The sender keeps every record until its outcome is taken; the stream's
// window bounds how many that are. One thread.

#ifndef QUILLO_CLIENT_SESSION_H_
#define QUILLO_CLIENT_SESSION_H_

#include <chrono>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>

#include "client/record_sink.h"
#include "protocol/connection.h"

namespace quillo {

// Records sent one connection each before a session is asked for again.
inline constexpr unsigned kFallbackRecords = 256;

class SessionSender final : public RecordSink {
 public:
  // `notes` (may be null) gets one line when the sender falls back to one
  // connection per record.
  SessionSender(std::string socket_path,
                std::chrono::steady_clock::duration bound, std::FILE* notes);
  SessionSender(const SessionSender&) = delete;
  SessionSender& operator=(const SessionSender&) = delete;

  void submit(std::unique_ptr<RequestData> record) override;
  SendStatus next_outcome() override;
  bool outcome_ready() override;
  bool can_send(SendStatus* why) override;

  // Sessions opened so far (for the tests and the error stream).
  unsigned long sessions_opened() const { return sessions_opened_; }

 private:
  enum class State { kWaiting, kInFlight, kDone };
  struct Entry {
    std::unique_ptr<RequestData> record;
    State state = State::kWaiting;
    int sends = 0;
    SendStatus status = kSendNoAnswer;
  };
  enum class Channel { kSession, kFallback, kNone };

  // Sends every waiting record, opening a session or falling back first
  // when there is no channel.
  void send_waiting();
  // A session, or the fallback; kNone with `*failure` saying why.
  Channel open_channel(SendStatus* failure);
  // Takes one answer for the oldest record in flight, waiting (bounded)
  // for it; false when the session was lost instead.
  bool take_answer();
  // Takes the answers that have arrived, without waiting, and sends what
  // a lost session left waiting.
  void take_arrived();
  // The same, leaving the records of a lost session waiting; false when
  // the session was lost.
  bool take_arrived_answers();
  // Ends the session: records in flight wait to be sent again, or end with
  // `reason` when they have been sent twice.
  void lose_session(SendStatus reason);
  // Forgets a session with nothing in flight that the daemon closed (it
  // closes an idle one).
  void drop_closed_session();
  bool readable_now() const;
  Entry* first(State state);

  const std::string socket_path_;
  const std::chrono::steady_clock::duration bound_;
  std::FILE* const notes_;
  std::deque<Entry> entries_;  // in submission order
  std::unique_ptr<Connection> session_;
  unsigned fallback_left_ = 0;  // > 0: one connection per record
  unsigned long sessions_opened_ = 0;
};

}  // namespace quillo

#endif  // QUILLO_CLIENT_SESSION_H_
