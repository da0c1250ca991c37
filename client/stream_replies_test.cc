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

TEST(StreamRepliesTest, AFailureMakesRsyslogSendTheWholeTransactionAgain) {
  FakeSink sink;
  sink.fail[1] = kSendNotStored;
  Output out;
  StreamReplies replies(&sink, 128, out.file(), true, &TestClock);
  replies.begin_mark();
  replies.record(Record());
  replies.record(Record());
  EXPECT_EQ(sink.taken, 0u);
  sink.released = 2;         // both answers arrive meanwhile
  replies.record(Record());  // sent before the failure is seen
  replies.record(Record());  // not sent: the transaction comes again
  EXPECT_EQ(sink.submitted, 3u);
  replies.commit_mark();
  const std::string failed =
      "OK\nDEFER_COMMIT\nDEFER_COMMIT\nDEFER_COMMIT\nDEFER_COMMIT\n"
      "Error: record not stored\n";
  EXPECT_EQ(out.text(), failed);
  // The commit did not wait for the third record.
  EXPECT_EQ(sink.taken, 2u);
  // The batch comes again at once: refused at its start, for a while, so
  // that rsyslog waits before it offers the batch again.
  replies.begin_mark();
  test_now += kRetryPause - std::chrono::milliseconds(1);
  replies.begin_mark();
  test_now += std::chrono::milliseconds(1);
  sink.reachable = false;
  replies.begin_mark();
  EXPECT_EQ(out.text(), failed +
                            "Error: record not stored\n"
                            "Error: record not stored\n"
                            "Error: no connection to quillod\n");
  EXPECT_EQ(sink.submitted, 3u);
  // Back: the third record's outcome is taken first; the batch's first
  // record was taken the first time, so it is not sent again.
  sink.reachable = true;
  replies.begin_mark();
  replies.record(Record());
  replies.commit_mark();
  EXPECT_EQ(sink.taken, 3u);
  EXPECT_EQ(sink.submitted, 3u);
  EXPECT_THAT(out.text(), EndsWith("quillod\nOK\nDEFER_COMMIT\nOK\n"));
  replies.finish();
  EXPECT_EQ(replies.not_taken(), 2u);  // the refused one and the unsent one
}

TEST(StreamRepliesTest, RetriedBatchSendsOnlyWhatWasNotTaken) {
  FakeSink sink;
  sink.fail[1] = kSendNotStored;
  Output out;
  StreamReplies replies(&sink, 128, out.file(), true, &TestClock);
  const char* batch[] = {"r0", "r1", "r2"};
  replies.begin_mark();
  for (const char* r : batch) replies.record(Record(r));
  replies.commit_mark();  // r1 was not stored
  EXPECT_EQ(sink.submitted, 3u);
  test_now += kRetryPause;
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
  test_now += kRetryPause;
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
