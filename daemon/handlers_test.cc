// The two record handlers on a private tree: rows, filters, the system-log
// queue.

#include <sys/stat.h>

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "alert/alert_engine.h"
#include "alert/alert_thread.h"
#include "config/config_test_util.h"
#include "config/config_xml.h"
#include "daemon/access_log.h"
#include "daemon/system_log.h"
#include "logstore/log_store.h"
#include "logstore/log_test_util.h"
#include "protocol/packet.h"

namespace {

using namespace quillo;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr char kBom[] = "\xEF\xBB\xBF";

// A loaded configuration on a private tree, in UTC, with a log root below
// the tree.
class HandlerTest : public ::testing::Test {
 protected:
  void Configure(const std::string& eventlog, const std::string& accesslog) {
    log_root_ = tree_.tree().dir("logs");
    tree_.Write("<config><share><path>" + log_root_ + "</path></share>" +
                eventlog + accesslog + "</config>");
    config_.load();
  }

  static std::string Access(const std::string& attrs, const std::string& list) {
    return "<accesslogconf enable=\"true\"><sharelist " + attrs + ">" + list +
           "</sharelist><autodelete/></accesslogconf>";
  }

  std::string File(const std::string& relative) {
    return logtest::read_file(log_root_ + "/" + relative);
  }

  logtest::ScopedTimeZone zone_{"UTC"};
  TempConfig tree_;
  ConfigXml config_{tree_.path()};
  std::string log_root_;
  std::string state_dir_ = tree_.tree().dir("state");
  // Never started: the alert check only pushes rows into it.
  AlertThread alerts_{AlertThread::kDefaultTiming, nullptr};
  HandlerStats stats_;
  LogStore store_{state_dir_};
  AlertEngine alert_check_{
      alerts_, [this](const LogRow& row, std::size_t copies) {
        return access_log_.write_alert_row(row, copies, config_);
      }};
  AccessLogHandler access_log_{store_, alert_check_, stats_};
  SystemLogHandler system_log_{store_, stats_};
};

// 2026-12-07 09:30:15 UTC
constexpr int64_t kNow = 1796635815;

struct AccessCase {
  const char* name;
  ReqAccessLog record;
  const char* row;
};

class AccessRowTest : public HandlerTest,
                      public ::testing::WithParamInterface<AccessCase> {};

TEST_P(AccessRowTest, WritesTheRow) {
  Configure("", Access("all=\"true\"", ""));
  access_log_.handle_at(kNow, GetParam().record, config_);
  EXPECT_EQ(File("accesslog/202612/access_20261207093015.csv"),
            std::string(kBom) + GetParam().row + "\r\n");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, AccessRowTest,
    ::testing::Values(
        AccessCase{"Example",
                   {"USER01", "host1", "192.0.2.10", "open", 1, 0, "share1",
                    "r|docs/a.txt"},
                   "2026/12/07 09:30:15,user01,host1,192.0.2.10,open_read,ok,"
                   "share1,docs/a.txt"},
        AccessCase{
            "FailWithErrorText",
            {"u", "h", "i", "open", 0, 13, "s", "p"},
            "2026/12/07 09:30:15,u,h,i,open,fail (Permission denied),s,p"},
        AccessCase{"OkIgnoresErrorNumber",
                   {"u", "h", "i", "open", 1, 13, "s", "p"},
                   "2026/12/07 09:30:15,u,h,i,open,ok,s,p"},
        AccessCase{"DotIsTheShare",
                   {"u", "h", "i", "mkdir", 1, 0, "share1", "."},
                   "2026/12/07 09:30:15,u,h,i,mkdir,ok,share1,share1"},
        AccessCase{"ReadDotIsTheShare",
                   {"u", "h", "i", "open", 1, 0, "share1", "r|."},
                   "2026/12/07 09:30:15,u,h,i,open_read,ok,share1,share1"},
        AccessCase{"WritePrefix",
                   {"u", "h", "i", "open", 1, 0, "s", "w|docs"},
                   "2026/12/07 09:30:15,u,h,i,open_write,ok,s,docs"},
        AccessCase{"BothPrefixesInOrder",
                   {"u", "h", "i", "open", 1, 0, "s", "r|w|x"},
                   "2026/12/07 09:30:15,u,h,i,open_read,ok,s,x"},
        AccessCase{"WriteThenReadPrefix",
                   {"u", "h", "i", "open", 1, 0, "s", "w|r|x"},
                   "2026/12/07 09:30:15,u,h,i,open_write,ok,s,r|x"},
        AccessCase{"OnlyAsciiLowered",
                   {"ÄDMIN Ö", "h", "i", "open", 1, 0, "s", "p"},
                   "2026/12/07 09:30:15,Ädmin Ö,h,i,open,ok,s,p"},
        AccessCase{"EmptyFieldsKeepEightColumns",
                   {"", "", "", "", 1, 0, "s", ""},
                   "2026/12/07 09:30:15,,,,,ok,s,"},
        AccessCase{"CommasStay",
                   {"u", "h,x", "i", "open", 1, 0, "s", "a,b"},
                   "2026/12/07 09:30:15,u,h,x,i,open,ok,s,a,b"},
        AccessCase{"LineBreaksCannotForgeLines",
                   {"u", "h\r\n2026/01/01 00:00:00,root", "i", "open", 1, 0,
                    "s", "a\nb"},
                   "2026/12/07 09:30:15,u,h#015#0122026/01/01 00:00:00,root,i,"
                   "open,ok,s,a#012b"}),
    [](const auto& info) { return std::string(info.param.name); });

struct FilterCase {
  const char* name;
  const char* sharelist_attrs;
  const char* sharelist;
  const char* share;
  bool logged;
};

class AccessFilterTest : public HandlerTest,
                         public ::testing::WithParamInterface<FilterCase> {};

TEST_P(AccessFilterTest, DecidesWhetherTheAccessIsLogged) {
  Configure("", Access(GetParam().sharelist_attrs, GetParam().sharelist));
  const quillo::ReqAccessLog r("u", "h", "i", "open", 1, 0, GetParam().share,
                               "p");
  access_log_.handle_at(kNow, r, config_);
  EXPECT_EQ(
      !logtest::read_file(log_root_ +
                          "/accesslog/202612/access_20261207093015.csv")
              .empty() &&
          logtest::read_file(log_root_ +
                             "/accesslog/202612/access_20261207093015.csv") !=
              "<missing>",
      GetParam().logged);
  EXPECT_EQ(stats_.rows_written_access, GetParam().logged ? 1u : 0u);
  EXPECT_EQ(stats_.rows_dropped_filtered, GetParam().logged ? 0u : 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Shares, AccessFilterTest,
    ::testing::Values(
        FilterCase{"IpcNeverLogged", "all=\"true\"", "", "IPC$", false},
        FilterCase{"LowerIpcGoesThroughFilter", "all=\"true\"", "", "ipc$",
                   true},
        FilterCase{"Listed", "", "<share><name>docs</name></share>", "docs",
                   true},
        FilterCase{"CaseSensitive", "", "<share><name>Share1</name></share>",
                   "share1", false},
        FilterCase{"EmptyListLogsNothing", "", "", "docs", false},
        FilterCase{"AllMustBeExactlyTrue", "all=\"TRUE\"", "", "docs", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HandlerTest, DisabledAccessLogTouchesNothing) {
  Configure("",
            "<accesslogconf enable=\"yes\"><sharelist all=\"true\"/>"
            "<autodelete/></accesslogconf>");
  access_log_.handle_at(kNow, {"u", "h", "i", "o", 1, 0, "s", "p"}, config_);
  EXPECT_EQ(logtest::file_mode(log_root_ + "/accesslog"), -1);
  EXPECT_EQ(logtest::file_mode(state_dir_ + "/access_info"), -1);
  EXPECT_EQ(stats_.rows_dropped_disabled, 1u);
}

constexpr char kEventlogOn[] =
    "<eventlogconf enable=\"true\"><autodelete/></eventlogconf>";

TEST_F(HandlerTest, SystemRowCarriesTheRecordsTime) {
  Configure(kEventlogOn, "");
  SystemLogHandler& handler = system_log_;
  handler.handle({"1796635815", "alpha", "beta", "gamma\r\n"}, config_);
  EXPECT_EQ(
      File("systemlog/202612/system_20261207093015.csv"),
      std::string(kBom) + "2026/12/07 09:30:15,alpha,beta,gamma#015#012\r\n");
  EXPECT_THAT(handler.pending(), IsEmpty());
}

TEST_F(HandlerTest, NonNumericTimeIsTheEpoch) {
  Configure(kEventlogOn, "");
  SystemLogHandler& handler = system_log_;
  handler.handle({"soon", "a", "b", "c"}, config_);
  EXPECT_EQ(File("systemlog/197001/system_19700101000000.csv"),
            std::string(kBom) + "1970/01/01 00:00:00,a,b,c\r\n");
}

TEST_F(HandlerTest, QueuedRowsLandInOrderOnceTheRootIsBack) {
  Configure(kEventlogOn, "");
  ASSERT_EQ(rmdir(log_root_.c_str()), 0);
  SystemLogHandler& handler = system_log_;
  // 2026-10-01, 2026-11-01, 2026-12-01 and 2026-12-07, all 00:00 UTC.
  handler.handle({"1790812800", "one", "", ""}, config_);
  handler.handle({"1793491200", "two", "", ""}, config_);
  handler.handle({"1796083200", "three", "", ""}, config_);
  EXPECT_EQ(handler.pending().size(), 3u);
  EXPECT_EQ(logtest::file_mode(state_dir_ + "/system_info"), -1);
  EXPECT_EQ(stats_.system_queue_rows, 3u);
  EXPECT_EQ(stats_.write_failures, 1u + 2u + 3u);  // every try counts

  ASSERT_TRUE(logtest::make_dir(log_root_));
  handler.handle({"1796601600", "four", "", ""}, config_);
  EXPECT_THAT(handler.pending(), IsEmpty());
  EXPECT_EQ(stats_.system_queue_rows, 0u);
  EXPECT_EQ(stats_.rows_written_system, 4u);
  EXPECT_EQ(File("systemlog/202610/system_20261001000000.csv"),
            std::string(kBom) + "2026/10/01 00:00:00,one,,\r\n");
  EXPECT_EQ(File("systemlog/202611/system_20261101000000.csv"),
            std::string(kBom) + "2026/11/01 00:00:00,two,,\r\n");
  // "four" has the month of "three": it continues that file.
  EXPECT_EQ(File("systemlog/202612/system_20261201000000.csv"),
            std::string(kBom) + "2026/12/01 00:00:00,three,,\r\n" +
                "2026/12/07 00:00:00,four,,\r\n");
}

TEST_F(HandlerTest, OnlyRowsThatFailedStayQueued) {
  Configure(kEventlogOn, "");
  SystemLogHandler& handler = system_log_;
  // December's month directory cannot be made: a plain file holds its name.
  ASSERT_TRUE(logtest::make_dir(log_root_ + "/systemlog"));
  ASSERT_TRUE(logtest::write_file(log_root_ + "/systemlog/202612", "x"));
  handler.handle({"1793491200", "november", "", ""}, config_);
  handler.handle({"1796601600", "december", "", ""}, config_);
  ASSERT_EQ(handler.pending().size(), 1u);
  EXPECT_EQ(encode_row(handler.pending()[0]), "2026/12/07 00:00:00,december,,");
  handler.handle({"1793491201", "november2", "", ""}, config_);
  // November's rows were each written once, into one file: the failed
  // December file never became the current one.
  EXPECT_EQ(File("systemlog/202611/system_20261101000000.csv"),
            std::string(kBom) + "2026/11/01 00:00:00,november,,\r\n" +
                "2026/11/01 00:00:01,november2,,\r\n");
  EXPECT_EQ(handler.pending().size(), 1u);
  EXPECT_GE(stats_.unsafe_entries, 1u);
}

TEST_F(HandlerTest, DisabledSystemLogKeepsTheQueueAndTouchesNothing) {
  Configure(kEventlogOn, "");
  ASSERT_EQ(rmdir(log_root_.c_str()), 0);
  SystemLogHandler& handler = system_log_;
  handler.handle({"1", "queued", "", ""}, config_);
  ASSERT_TRUE(logtest::make_dir(log_root_));
  tree_.Write(
      "<config><share><path>" + log_root_ +
      "</path></share>"
      "<eventlogconf enable=\"false\"><autodelete/></eventlogconf></config>");
  config_.load();
  handler.handle({"2", "dropped", "", ""}, config_);
  EXPECT_EQ(handler.pending().size(), 1u);
  EXPECT_EQ(logtest::file_mode(log_root_ + "/systemlog"), -1);
  EXPECT_EQ(logtest::file_mode(state_dir_ + "/system_info"), -1);
}

TEST_F(HandlerTest, QueueKeepsTheNewestRowsUpToItsBound) {
  Configure(kEventlogOn, "");
  ASSERT_EQ(rmdir(log_root_.c_str()), 0);
  SystemLogHandler handler(store_, stats_, 3);
  for (const char* text : {"r1", "r2", "r3", "r4", "r5"}) {
    handler.handle({"1796601600", text, "", ""}, config_);
  }
  ASSERT_EQ(handler.pending().size(), 3u);
  EXPECT_EQ(encode_row(handler.pending().front()), "2026/12/07 00:00:00,r3,,");
  EXPECT_EQ(stats_.system_queue_dropped, 2u);
  ASSERT_TRUE(logtest::make_dir(log_root_));
  handler.handle({"1796601601", "r6", "", ""}, config_);
  EXPECT_EQ(File("systemlog/202612/system_20261207000000.csv"),
            std::string(kBom) + "2026/12/07 00:00:00,r3,,\r\n" +
                "2026/12/07 00:00:00,r4,,\r\n2026/12/07 00:00:00,r5,,\r\n" +
                "2026/12/07 00:00:01,r6,,\r\n");
}

// The store keeps its files open across requests; a reload that names
// another log root moves the next row there, counted afresh.
TEST_F(HandlerTest, NewLogRootTakesTheNextRow) {
  Configure("", Access("all=\"true\"", ""));
  const ReqAccessLog record("u", "h", "i", "open", 1, 0, "s", "p");
  ASSERT_TRUE(access_log_.handle_at(kNow, record, config_));
  ASSERT_TRUE(access_log_.handle_at(kNow + 1, record, config_));
  const std::string old_root = log_root_;
  log_root_ = tree_.tree().dir("other");
  tree_.Write("<config><share><path>" + log_root_ + "</path></share>" +
              Access("all=\"true\"", "") + "</config>");
  config_.load();
  ASSERT_TRUE(access_log_.handle_at(kNow + 2, record, config_));
  EXPECT_EQ(logtest::read_file(old_root +
                               "/accesslog/202612/access_20261207093015.csv"),
            std::string(kBom) + "2026/12/07 09:30:15,u,h,i,open,ok,s,p\r\n" +
                "2026/12/07 09:30:16,u,h,i,open,ok,s,p\r\n");
  EXPECT_EQ(File("accesslog/202612/access_20261207093015.csv"),
            std::string(kBom) + "2026/12/07 09:30:17,u,h,i,open,ok,s,p\r\n");
  EXPECT_EQ(logtest::read_file(state_dir_ + "/access_info"),
            "access_20261207093015.csv\n1\n");
  EXPECT_EQ(stats_.rows_written_access, 3u);
}

TEST(LogRowTest, RecordTimeParsing) {
  EXPECT_EQ(parse_record_time("1700000000"), 1700000000);
  EXPECT_EQ(parse_record_time("  -5x"), -5);
  EXPECT_EQ(parse_record_time("+7"), 7);
  EXPECT_EQ(parse_record_time("abc"), 0);
  EXPECT_EQ(parse_record_time(""), 0);
  EXPECT_EQ(parse_record_time("99999999999999999999"), 2147483647);
  EXPECT_EQ(parse_record_time("-2147483649"), -2147483648LL);
  EXPECT_EQ(parse_record_time("2147483648"), 2147483647);
}

}  // namespace

namespace {

// Records what the store offers: each prepared row and its outcome.
class RecordingObserver final : public RowObserver {
 public:
  struct Offer {
    LogRow row;
    std::string line;
    bool written = false;
  };
  void row_prepared(const LogRow& row, std::string_view line) noexcept override {
    offers.push_back({row, std::string(line), false});
  }
  void row_done(bool written) noexcept override {
    offers.back().written = written;
  }
  std::vector<Offer> offers;
};

TEST_F(HandlerTest, EveryWrittenRowOfEachKindGoesToTheObservers) {
  log_root_ = tree_.tree().dir("logs");
  tree_.Write("<config><share><path>" + log_root_ + "</path></share>" +
              kEventlogOn + Access("all=\"true\"", "") +
              "<alertlist><alert><name>n</name><usernamelist all=\"true\"/>"
              "<period><weekdays sun=\"true\" mon=\"true\" tue=\"true\" "
              "wed=\"true\" thu=\"true\" fri=\"true\" sat=\"true\"/></period>"
              "<operationlist><operation type=\"delete\" enable=\"true\"/>"
              "</operationlist></alert></alertlist></config>");
  config_.load();
  RecordingObserver sink;
  store_.add_observer(&sink);
  system_log_.handle_at(kNow, {"1796635815", "a\r\nb", "c", "d"}, config_);
  access_log_.handle_at(kNow, {"U", "h", "i", "delete", 0, 2, "s", "p"},
                        config_);
  ASSERT_EQ(sink.offers.size(), 3u);
  const LogRow& system = sink.offers[0].row;
  EXPECT_EQ(system.kind, LogKind::kSystem);
  EXPECT_EQ(system.time, kNow);
  // Fields as received; the CSV text as written.
  EXPECT_THAT(system.columns, ElementsAre("a\r\nb", "c", "d"));
  EXPECT_EQ(sink.offers[0].line, "2026/12/07 09:30:15,a#015#012b,c,d");
  const char* kCsv =
      "2026/12/07 09:30:15,u,h,i,delete,fail (No such file or directory),s,p";
  for (std::size_t i : {1, 2}) {
    const LogRow& row = sink.offers[i].row;
    EXPECT_EQ(row.kind, i == 1 ? LogKind::kAccess : LogKind::kAlert);
    EXPECT_EQ(row.time, kNow);
    EXPECT_THAT(row.columns,
                ElementsAre("u", "h", "i", "delete",
                            "fail (No such file or directory)", "s", "p"));
    EXPECT_EQ(sink.offers[i].line, kCsv);
  }
  for (const auto& offer : sink.offers) EXPECT_TRUE(offer.written);
}

TEST_F(HandlerTest, RowsThatMissTheirFileAreTakenBackFromTheObservers) {
  Configure(kEventlogOn, Access("all=\"true\"", ""));
  RecordingObserver sink;
  store_.add_observer(&sink);
  ASSERT_EQ(rmdir(log_root_.c_str()), 0);
  system_log_.handle_at(kNow, {"1796635815", "a", "b", "c"}, config_);
  EXPECT_FALSE(access_log_.handle_at(
      kNow, {"u", "h", "i", "open", 1, 0, "s", "p"}, config_));
  ASSERT_EQ(sink.offers.size(), 2u);
  EXPECT_FALSE(sink.offers[0].written);
  EXPECT_FALSE(sink.offers[1].written);
  // The queued system row is offered again when it is written at last.
  ASSERT_TRUE(logtest::make_dir(log_root_));
  system_log_.handle_at(kNow, {"1796635816", "e", "f", "g"}, config_);
  ASSERT_EQ(sink.offers.size(), 4u);
  EXPECT_THAT(sink.offers[2].row.columns, ElementsAre("a", "b", "c"));
  EXPECT_TRUE(sink.offers[2].written);
  EXPECT_TRUE(sink.offers[3].written);
}

}  // namespace
