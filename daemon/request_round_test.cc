// A round of the request loop on a private tree: every row of the round in
// one batch, the answers decided after it, the alert check after the batch,
// and the system queue across rounds.

#include "daemon/request_round.h"

#include <cstring>
#include <deque>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "alert/alert_engine.h"
#include "alert/alert_thread.h"
#include "config/config_test_util.h"
#include "config/config_xml.h"
#include "logstore/log_test_util.h"

namespace quillo {
namespace {

using ::testing::ElementsAre;

// The kind of each row the store offers, in order, and its outcome.
class KindObserver final : public RowObserver {
 public:
  void row_prepared(const LogRow& row, std::string_view) noexcept override {
    kinds.push_back(row.kind);
    written.push_back(false);
  }
  void row_done(bool ok) noexcept override {
    // Outcomes come in the order the rows were offered.
    written[done++] = ok;
  }
  std::vector<LogKind> kinds;
  std::vector<bool> written;
  std::size_t done = 0;
};

PeerSet::Frame whole(const RequestData& request) {
  PeerSet::Frame frame;
  frame.request = request;
  frame.whole = true;
  return frame;
}

PeerSet::Frame raw(const std::string& body) {
  PeerSet::Frame frame;
  frame.request.set_size(static_cast<unsigned short>(body.size()));
  std::memcpy(frame.request.data.get(), body.data(), body.size());
  frame.whole = true;
  return frame;
}

std::vector<int> answers(const std::deque<PeerSet::Frame>& round) {
  std::vector<int> out;
  for (const PeerSet::Frame& frame : round) out.push_back(frame.answer);
  return out;
}

class RequestRoundTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tree_.Write("<config><share><path>" + log_root_ + "</path></share>"
                "<eventlogconf enable=\"true\"><autodelete/></eventlogconf>"
                "<accesslogconf enable=\"true\"><sharelist all=\"true\"/>"
                "<autodelete/></accesslogconf>"
                "<alertlist><alert><name>n</name><usernamelist all=\"true\"/>"
                "<period><weekdays sun=\"true\" mon=\"true\" tue=\"true\" "
                "wed=\"true\" thu=\"true\" fri=\"true\" sat=\"true\"/>"
                "</period><operationlist><operation type=\"delete\" "
                "enable=\"true\"/></operationlist></alert></alertlist>"
                "</config>");
    config_.load();
    store_.add_observer(&observer_);
  }

  void serve(std::deque<PeerSet::Frame>& frames) {
    round_.serve(frames, config_);
  }

  logtest::ScopedTimeZone zone_{"UTC"};
  TempConfig tree_;
  ConfigXml config_{tree_.path()};
  std::string log_root_ = tree_.tree().dir("logs");
  // Never started: the alert check only pushes rows into it.
  AlertThread alerts_{AlertThread::kDefaultTiming, nullptr};
  HandlerStats handler_stats_;
  RequestStats requests_;
  RequestReports reports_;
  LogStore store_{tree_.tree().dir("state")};
  AlertEngine alert_check_{
      alerts_, [this](const LogRow& row, std::size_t copies) {
        return access_log_.write_alert_row(row, copies, config_);
      }};
  AccessLogHandler access_log_{store_, alert_check_, handler_stats_};
  SystemLogHandler system_log_{store_, handler_stats_};
  RequestRound round_{store_,         system_log_, access_log_,
                      handler_stats_, requests_,   reports_};
  KindObserver observer_;
};

TEST_F(RequestRoundTest, RowsGoInOneBatchAndAlertsAndAnswersFollowIt) {
  std::deque<PeerSet::Frame> frames;
  frames.push_back(whole(ReqAccessLog("u", "h", "i", "delete", 1, 0, "s", "p")));
  frames.push_back(whole(ReqSystemLog("1796635815", "one", "b", "c")));
  frames.push_back(raw(std::string("\x00\x00", 2)));       // no type
  frames.push_back(raw(std::string("\x00\x02\x00\x07", 4)));  // type 7
  frames.push_back(whole(ReqAccessLog("u", "h", "i", "open", 1, 0, "IPC$", "p")));
  serve(frames);
  EXPECT_THAT(answers(frames), ElementsAre(0, 0, -1, 0, 0));
  // The alert row comes after the whole batch, not after its access row.
  EXPECT_THAT(observer_.kinds,
              ElementsAre(LogKind::kAccess, LogKind::kSystem, LogKind::kAlert));
  EXPECT_THAT(observer_.written, ElementsAre(true, true, true));
  EXPECT_EQ(requests_.access, 2u);
  EXPECT_EQ(requests_.system, 1u);
  EXPECT_EQ(requests_.malformed, 1u);
  EXPECT_EQ(requests_.other_type, 1u);
  EXPECT_EQ(handler_stats_.rows_dropped_filtered, 1u);
  EXPECT_EQ(alert_check_.stats().matches, 1u);
}

TEST_F(RequestRoundTest, UnwrittenRowsAreNotStoredOrQueuedForTheNextRound) {
  const std::string away = log_root_ + ".away";
  std::filesystem::rename(log_root_, away);
  std::deque<PeerSet::Frame> frames;
  frames.push_back(whole(ReqAccessLog("u", "h", "i", "delete", 1, 0, "s", "p")));
  frames.push_back(whole(ReqSystemLog("1796635815", "one", "b", "c")));
  frames.push_back(PeerSet::Frame());  // a peer that sent nothing
  serve(frames);
  EXPECT_THAT(answers(frames), ElementsAre(kResultNotStored, 0, -1));
  EXPECT_EQ(handler_stats_.access_not_stored, 1u);
  EXPECT_EQ(alert_check_.stats().matches, 0u);  // no alert for a lost row
  EXPECT_EQ(system_log_.pending().size(), 1u);

  std::filesystem::rename(away, log_root_);
  frames.clear();
  frames.push_back(whole(ReqSystemLog("1796635816", "two", "b", "c")));
  serve(frames);
  EXPECT_THAT(answers(frames), ElementsAre(0));
  EXPECT_TRUE(system_log_.pending().empty());
  EXPECT_EQ(logtest::read_file(log_root_ +
                               "/systemlog/202612/system_20261207093015.csv"),
            "\xEF\xBB\xBF"
            "2026/12/07 09:30:15,one,b,c\r\n"
            "2026/12/07 09:30:16,two,b,c\r\n");
}

}  // namespace
}  // namespace quillo
