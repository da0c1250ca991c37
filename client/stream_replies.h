// What `quillo-send --stream` answers rsyslog's omprog, line by line, and
// when: the one place that knows the confirmation protocol, with and
// without transactions. The caller reads the input, turns each line into
// a call below, and says when it is about to wait for more input.
//
// Without transactions omprog sends a line only once the one before it was
// answered, so each answer must go out before the stream waits for input:
// the answer of a record ("OK", or "Error: ..." so that rsyslog keeps the
// line and offers it again) is written once its outcome is known, the
// answers in input order. With several lines already in the input (a
// pipe, not omprog) the records go out up to `window` at a time and the
// answers lag the input by as many lines.
//
// With transactions (omprog useTransactions="on"):
//   BEGIN TRANSACTION   -> OK
//   a record line       -> DEFER_COMMIT once it is sent (so rsyslog sends
//                          the next at once)
//   a line never sent   -> DEFER_COMMIT (skipped or unparseable: done)
//   COMMIT TRANSACTION  -> OK once every record of the transaction was
//                          answered "taken"; "Error: ..." when one was
//                          not: rsyslog then keeps the whole batch and
//                          offers it again. After a failure the rest of
//                          the transaction is not sent.
// When the daemon could not be reached or the session was lost (a restart
// of quillod, say), the commit waits for it, up to kCommitWait: every
// kCommitRetryEvery it tries to connect, and once it can, it sends the
// records of the transaction that were not taken, in order, and takes
// their answers. So a short outage costs no failed commit at all, and a
// long one costs one failed commit per kCommitWait: rsyslog offers a
// failed batch again at once, and each try then waits here, never in a
// loop of quick failures. A record the daemon did not store is not
// retried: the commit fails.
// The records of a failed transaction that the daemon took are not sent
// again when the next transaction begins with the same records in the
// same order (rsyslog offering the batch again): they are answered
// DEFER_COMMIT at once, so the retry logs each row once. At the first
// record that differs the retry is taken for a new batch and everything
// is sent. At most kMaxTrackedRecords of a transaction are remembered;
// past that a failed transaction's records are all sent again, and a
// commit does not wait for the daemon.
// A line inside a transaction is never answered with an error: rsyslog
// would then offer that line alone again and take the deferred ones
// before it as done; a failed commit makes it offer them all.
// While the commit waits, a "." is written every second or so: omprog's
// keep-alive, which restarts its confirmation time-out.
//
// Lines outside a transaction are answered as without transactions. A
// BEGIN while a transaction is open (rsyslog gave up on the last one)
// starts afresh. Without `confirm` nothing is written but the outcomes are
// still counted. One thread; `out` is flushed after every answer.

#ifndef QUILLO_CLIENT_STREAM_REPLIES_H_
#define QUILLO_CLIENT_STREAM_REPLIES_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "client/record_sink.h"

namespace quillo {

inline constexpr char kBeginTransactionMark[] = "BEGIN TRANSACTION";
inline constexpr char kCommitTransactionMark[] = "COMMIT TRANSACTION";
// Records of one transaction remembered for its retry.
inline constexpr std::size_t kMaxTrackedRecords = 4096;

// How long a commit waits for a daemon it cannot reach, and how often it
// tries to in that time.
inline constexpr std::chrono::seconds kCommitWait{10};
inline constexpr std::chrono::milliseconds kCommitRetryEvery{250};

class StreamReplies {
 public:
  using Clock = std::chrono::steady_clock::time_point (*)();
  using Pause = void (*)(std::chrono::milliseconds);

  // `sink` outlives this object; `window` >= 1; `notes` (may be null)
  // gets a line when a commit waits for the daemon and when it gives up;
  // `clock` gives the time and `pause` waits (a test's own, or the steady
  // clock and a sleep).
  StreamReplies(RecordSink* sink, std::size_t window, std::FILE* out,
                bool confirm, std::FILE* notes = nullptr,
                Clock clock = &std::chrono::steady_clock::now,
                Pause pause = &sleep_for);
  StreamReplies(const StreamReplies&) = delete;
  StreamReplies& operator=(const StreamReplies&) = delete;

  // The first "OK": ready for lines.
  void ready();
  void begin_mark();
  void commit_mark();
  // A line that became this record.
  void record(std::unique_ptr<RequestData> record);
  // A line that is never sent (skipped, unparseable): done.
  void line_done();
  // The input has nothing whole left: everything answered that omprog
  // waits for before it sends more.
  void before_wait();
  // End of input: every outcome taken, every answer written.
  void finish();

  // Records whose outcome was not "taken", with those of a failed
  // transaction that were not sent.
  unsigned long not_taken() const { return not_taken_; }

 private:
  // An answer not written yet; `waits` until its record's outcome is known.
  struct Answer {
    bool waits;
    std::string text;
  };
  // Whom an outstanding record's outcome goes to.
  struct Owner {
    bool in_transaction;
    std::uint64_t transaction;
    std::size_t line = 0;  // its place in its transaction's records
  };
  // A record of a transaction: its frame's body, and whether the daemon
  // took it.
  struct Offered {
    std::string body;
    bool taken = false;
  };

  // Whether `body`, the next record of a retried transaction, was taken
  // the first time; it is then not sent again.
  bool taken_before(const std::string& body);
  // Remembers a record of the open transaction; its index, or
  // kMaxTrackedRecords when it is not remembered.
  std::size_t track(std::string body, bool taken);
  // The open transaction ends without its commit confirmed.
  void keep_for_retry();
  // A record of a transaction was taken.
  void note_taken(const Owner& owner);
  // Takes the outcomes of the open transaction's records.
  void take_transaction(std::chrono::steady_clock::time_point* last);
  // The commit's wait for a daemon that could not be reached; true when
  // every record of the transaction was taken in the end.
  bool wait_for_daemon(std::chrono::steady_clock::time_point* last);
  static void sleep_for(std::chrono::milliseconds how_long);

  void answer(const char* text);
  // Takes the oldest outstanding outcome (waiting for it) and writes the
  // answers it completes.
  void take_one();
  void take_ready();
  void write_done_answers();
  void keep_alive(std::chrono::steady_clock::time_point* last);

  RecordSink* const sink_;
  const std::size_t window_;
  std::FILE* const out_;
  const bool confirm_;
  std::FILE* const notes_;
  const Clock clock_;
  const Pause pause_;
  std::deque<Answer> answers_;  // in input order
  std::deque<Owner> owners_;    // in submission order
  bool in_transaction_ = false;
  std::uint64_t transaction_ = 0;
  std::string failure_;  // the open transaction's first failure
  SendStatus failure_status_ = kSendTaken;
  unsigned long not_taken_ = 0;
  std::vector<Offered> offered_;  // of the open transaction, in order
  bool tracking_ = true;          // all of them are in offered_
  std::vector<Offered> failed_;   // of the last failed transaction
  std::uint64_t failed_transaction_ = 0;  // its number; 0: none
  std::size_t retry_at_ = 0;      // the next of failed_ to compare
  bool retrying_ = false;
};

// The answer line for a record not taken ("Error: ...").
const char* error_line(SendStatus status);

}  // namespace quillo

#endif  // QUILLO_CLIENT_STREAM_REPLIES_H_
