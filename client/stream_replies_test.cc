#include "client/stream_replies.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "protocol/packet.h"

namespace quillo {
namespace {

using ::testing::EndsWith;

// A sink whose outcomes the test decides: `fail` gives the outcome of a
// record by its submission number (0-based; taken otherwise), and the
// first `released` outcomes are known without waiting.
class FakeSink final : public RecordSink {
 public:
  void submit(std::unique_ptr<RequestData> record) override {
    EXPECT_NE(record, nullptr);
    ++submitted;
  }
  SendStatus next_outcome() override {
    EXPECT_LT(taken, submitted) << "an outcome asked for with none owed";
    if (taken >= released) {
      ++waits;
      released = taken + 1;
    }
    const auto f = fail.find(taken++);
    return f == fail.end() ? kSendTaken : f->second;
  }
  bool outcome_ready() override { return taken < released; }
  bool can_send(SendStatus* why) override {
    *why = kSendNoConnection;
    return reachable;
  }

  bool reachable = true;

  std::map<std::size_t, SendStatus> fail;
  std::size_t released = 0;
  std::size_t submitted = 0;
  std::size_t taken = 0;
  std::size_t waits = 0;  // outcomes that had to be waited for
};

// Standard output as a string.
class Output {
 public:
  Output() : file_(open_memstream(&buffer_, &size_)) {}
  ~Output() {
    std::fclose(file_);
    std::free(buffer_);
  }
  std::FILE* file() const { return file_; }
  std::string text() const {
    std::fflush(file_);
    return std::string(buffer_, size_);
  }

 private:
  char* buffer_ = nullptr;
  std::size_t size_ = 0;
  std::FILE* file_;
};

// The test's clock: moved by hand.
std::chrono::steady_clock::time_point test_now{};
std::chrono::steady_clock::time_point TestClock() { return test_now; }

std::unique_ptr<RequestData> Record(const char* text = "c") {
  return std::make_unique<ReqSystemLog>("1700000000", "a", "b", text);
}

TEST(StreamRepliesTest, CommitIsConfirmedOnlyOnceEveryRecordIsTaken) {
  FakeSink sink;
  Output out;
  StreamReplies replies(&sink, 128, out.file(), true);
  replies.ready();
  replies.begin_mark();
  replies.record(Record());
  replies.line_done();  // a skipped line inside the transaction
  replies.record(Record());
  replies.record(Record());
  replies.before_wait();
  // Every line deferred as soon as it was sent; nothing waited for yet.
  const std::string deferred =
      "OK\nOK\nDEFER_COMMIT\nDEFER_COMMIT\nDEFER_COMMIT\nDEFER_COMMIT\n";
  EXPECT_EQ(out.text(), deferred);
  EXPECT_EQ(sink.submitted, 3u);
  EXPECT_EQ(sink.waits, 0u);
  replies.commit_mark();
  EXPECT_EQ(sink.taken, 3u);
  EXPECT_EQ(out.text(), deferred + "OK\n");
  // The next transaction starts clean; a commit with no records is OK.
  replies.begin_mark();
  replies.commit_mark();
  replies.commit_mark();  // no transaction open: nothing to commit
  EXPECT_EQ(out.text(), deferred + "OK\nOK\nOK\nOK\n");
  replies.finish();
  EXPECT_EQ(replies.not_taken(), 0u);
}

// The test's pause: moves the test's clock, and makes the sink reachable
// again at the `back_after`th pause (0: never).
FakeSink* paused_sink = nullptr;
int pauses = 0;
int back_after = 0;
void TestPause(std::chrono::milliseconds how_long) {
  test_now += how_long;
  if (++pauses == back_after) paused_sink->reachable = true;
}

TEST(StreamRepliesTest, RecordNotStoredFailsTheCommitAndRsyslogSendsTheBatchAgain) {
  FakeSink sink;
  sink.fail[1] = kSendNotStored;
  Output out;
  pauses = 0;
  StreamReplies replies(&sink, 128, out.file(), true, nullptr, &TestClock,
                        &TestPause);
  replies.begin_mark();
  replies.record(Record());
  replies.record(Record());
  EXPECT_EQ(sink.taken, 0u);
  sink.released = 2;         // both answers arrive meanwhile
  replies.record(Record());  // sent before the failure is seen
  replies.record(Record());  // not sent: the transaction comes again
  EXPECT_EQ(sink.submitted, 3u);
  replies.commit_mark();
  EXPECT_EQ(out.text(),
            "OK\nDEFER_COMMIT\nDEFER_COMMIT\nDEFER_COMMIT\nDEFER_COMMIT\n"
            "Error: record not stored\n");
  EXPECT_EQ(sink.taken, 3u);
  EXPECT_EQ(pauses, 0) << "waited for a daemon that is there";
  // The batch comes again: its first and third records were taken the
  // first time, so only the second and fourth are sent.
  replies.begin_mark();
  for (int i = 0; i < 4; ++i) replies.record(Record());
  replies.commit_mark();
  EXPECT_EQ(sink.submitted, 5u);
  EXPECT_THAT(out.text(), EndsWith("not stored\nOK\nDEFER_COMMIT\n"
                                   "DEFER_COMMIT\nDEFER_COMMIT\n"
                                   "DEFER_COMMIT\nOK\n"));
  replies.finish();
  EXPECT_EQ(replies.not_taken(), 2u);  // the refused one and the unsent one
}

// quillod restarts in the middle of a transaction: the session is lost
// after the second record. The commit waits, with keep-alive dots, sends
// the records not taken once the daemon is back and is confirmed; when
// the daemon stays away, the commit fails after kCommitWait.
TEST(StreamRepliesTest, CommitWaitsForADaemonThatWentAway) {
  for (const bool comes_back : {true, false}) {
    SCOPED_TRACE(comes_back ? "comes back" : "stays away");
    FakeSink sink;
    sink.fail[2] = kSendNoAnswer;      // lost with its session
    sink.fail[3] = kSendNoConnection;  // no daemon to send it to
    Output out;
    char* notes_buffer = nullptr;
    std::size_t notes_size = 0;
    std::FILE* notes = open_memstream(&notes_buffer, &notes_size);
    paused_sink = &sink;
    pauses = 0;
    back_after = comes_back ? 12 : 0;  // 3 s later
    StreamReplies replies(&sink, 128, out.file(), true, notes, &TestClock,
                          &TestPause);
    replies.begin_mark();
    for (int i = 0; i < 5; ++i) replies.record(Record());
    sink.released = 4;
    sink.reachable = false;
    replies.before_wait();     // the failure is seen
    replies.record(Record());  // after it: not sent now
    replies.commit_mark();
    std::fclose(notes);
    const std::string noted(notes_buffer, notes_size);
    std::free(notes_buffer);
    const std::string text = out.text();
    EXPECT_THAT(noted, ::testing::HasSubstr("the transaction waits for quillod"));
    EXPECT_NE(text.find("DEFER_COMMIT\n."), std::string::npos)
        << "no keep-alive while the commit waited: " << text;
    if (comes_back) {
      // Records 2 and 3 and the unsent sixth go again; nothing else.
      EXPECT_EQ(sink.submitted, 8u);
      EXPECT_EQ(pauses, 12);
      EXPECT_THAT(text, EndsWith("OK\n"));
      replies.finish();
      EXPECT_EQ(replies.not_taken(), 0u);
    } else {
      EXPECT_EQ(sink.submitted, 5u);
      EXPECT_EQ(pauses, static_cast<int>(kCommitWait / kCommitRetryEvery));
      EXPECT_THAT(text, EndsWith("Error: no answer from quillod\n"));
      EXPECT_THAT(noted, ::testing::HasSubstr("the commit fails"));
      replies.finish();
      EXPECT_EQ(replies.not_taken(), 3u);
    }
  }
}

TEST(StreamRepliesTest, RetriedBatchSendsOnlyWhatWasNotTaken) {
  FakeSink sink;
  sink.fail[1] = kSendNotStored;
  Output out;
  StreamReplies replies(&sink, 128, out.file(), true, nullptr, &TestClock,
                        &TestPause);
  const char* batch[] = {"r0", "r1", "r2"};
  replies.begin_mark();
  for (const char* r : batch) replies.record(Record(r));
  replies.commit_mark();  // r1 was not stored
  EXPECT_EQ(sink.submitted, 3u);
  // rsyslog offers the same batch: only r1 goes out again.
  replies.begin_mark();
  for (const char* r : batch) replies.record(Record(r));
  replies.commit_mark();
  EXPECT_EQ(sink.submitted, 4u);
  EXPECT_THAT(out.text(), EndsWith("DEFER_COMMIT\nDEFER_COMMIT\n"
                                   "DEFER_COMMIT\nOK\n"));
  // A batch after a success is sent whole, even with the same records.
  replies.begin_mark();
  for (const char* r : batch) replies.record(Record(r));
  replies.commit_mark();
  EXPECT_EQ(sink.submitted, 7u);
  // After a failure, a batch that differs is sent whole from where it does.
  sink.fail[8] = kSendNotStored;  // s1
  replies.begin_mark();
  replies.record(Record("s0"));
  replies.record(Record("s1"));
  replies.commit_mark();
  replies.begin_mark();
  replies.record(Record("s0"));    // taken before: not sent
  replies.record(Record("other"));  // not the same batch: sent
  replies.record(Record("s1"));     // sent as well
  replies.commit_mark();
  EXPECT_EQ(sink.submitted, 11u);
  replies.finish();
}

TEST(StreamRepliesTest, PlainLinesAreAnsweredInInputOrderWithinTheWindow) {
  FakeSink sink;
  sink.fail[1] = kSendNoConnection;
  Output out;
  StreamReplies replies(&sink, 2, out.file(), true);
  replies.ready();
  replies.record(Record());
  replies.line_done();  // its "OK" waits behind the record's
  replies.record(Record());
  EXPECT_EQ(out.text(), "OK\n");
  replies.record(Record());  // the window of 2 is full: the first is taken
  EXPECT_EQ(sink.taken, 1u);
  EXPECT_EQ(out.text(), "OK\nOK\nOK\n");
  replies.before_wait();  // omprog waits for every answer
  EXPECT_EQ(out.text(), "OK\nOK\nOK\nError: no connection to quillod\nOK\n");
  EXPECT_EQ(sink.taken, 3u);
  EXPECT_EQ(replies.not_taken(), 1u);
}

}  // namespace
}  // namespace quillo
