// The writer's bytes fed to the reader: rows made as the daemon makes them
// (LogRow, encode_row) are written into a temporary log tree exactly like
// its files (byte order mark, CR LF, the tree's names), then read back
// through LogReader, which must give every column and instant back.

#include <stdlib.h>
#include <time.h>

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "logstore/file_name.h"
#include "logstore/log_kind.h"
#include "logstore/log_row.h"
#include "reader/log_reader.h"
#include "testing/temp_tree.h"

namespace quillo {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// A row as the reader handed it on, columns unescaped.
struct ReadRow {
  int64_t time;
  std::string stored_time;
  std::vector<std::string> columns;
};

struct Collector final : RowConsumer, ReadObserver {
  std::vector<ReadRow> rows;
  std::vector<std::string> problems;
  void row(const RowView& row, int64_t time) override {
    ReadRow r{time, std::string(row.time), {}};
    for (std::size_t i = 0; i < row.column_count; ++i) {
      r.columns.push_back(unescape_column(row.columns[i]));
    }
    rows.push_back(r);
  }
  void entry_left_out(const std::string& path, std::string_view why) override {
    problems.push_back(path + ": " + std::string(why));
  }
  void line_left_out(const std::string& path, int64_t line,
                     std::string_view why) override {
    problems.push_back(path + ":" + std::to_string(line) + ": " +
                       std::string(why));
  }
};

class WrittenTreeTest : public ::testing::Test {
 protected:
  void SetUp() override { UseZone("UTC"); }
  void TearDown() override { UseZone("UTC"); }
  static void UseZone(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
  }

  // The log file of the first of `rows`, as the daemon opens it for that
  // row, holding `rows` and then `extra` bytes; returns its path below
  // the tree.
  std::string Write(const std::vector<LogRow>& rows,
                    const std::string& extra = "") {
    const LogRow& first = rows.front();
    const std::string name = std::string(kind_info(first.kind).folder) + "/" +
                             month_folder_name(first.time) + "/" +
                             log_file_name(first.kind, first.time);
    std::string content = kByteOrderMark;
    for (const LogRow& row : rows) content += encode_row(row) + kLineEnd;
    tree_.write(name, content + extra);
    return tree_.file(name);
  }

  std::vector<ReadRow> Read(const LogQuery& query) {
    LogReader reader(tree_.path(), query, seen_);
    reader.read(seen_);
    return seen_.rows;
  }

  quillo_test::TempTree tree_{"quillo-reader"};
  Collector seen_;
};

std::vector<int64_t> times_of(const std::vector<ReadRow>& rows) {
  std::vector<int64_t> out;
  for (const ReadRow& r : rows) out.push_back(r.time);
  return out;
}

constexpr int64_t kDec7 = 1796635815;  // 2026-12-07 09:30:15 UTC

LogRow access(int64_t t, std::vector<std::string> columns) {
  return LogRow{LogKind::kAccess, t, std::move(columns)};
}

TEST_F(WrittenTreeTest, EveryColumnComesBackAsReceived) {
  const std::vector<LogRow> rows = {
      access(kDec7, {"bob", "pc1", "10.0.0.1", "open_read", "ok", "docs",
                     "a,b\r\nc,\rd\n"}),
      access(kDec7 + 1,
             {"\xEF\xBB\xBF"
              "eve",
              "pc\xFF\xC3", "10.0.0.2", "delete", "fail (Permission denied)",
              "", "\xEF\xBB\xBF,\x1b[31m#01"}),
      access(kDec7 + 2, {"", "", "", "", "", "", ""})};
  Write(rows);
  // The next month's file, named after its own first row.
  const int64_t jan = kDec7 + 40 * 86400;
  Write({access(jan, {"carol", "pc3", "::1", "mkdir", "ok", "s", "x"})});
  LogQuery query;
  query.want_times = true;
  const std::vector<ReadRow> read = Read(query);
  EXPECT_THAT(seen_.problems, IsEmpty());
  ASSERT_EQ(read.size(), 4u);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(read[i].time, rows[i].time);
    EXPECT_EQ(read[i].columns, rows[i].columns) << i;
  }
  EXPECT_EQ(read[0].stored_time, "2026/12/07 09:30:15");
  EXPECT_EQ(read[3].time, jan);
  EXPECT_EQ(read[3].columns[kUser], "carol");
}

// System rows carry the sender's time; a queued older row lands in the
// current file of its month, and the reader puts it in its place.
TEST_F(WrittenTreeTest, SystemRowsComeBackInTimeOrder) {
  auto system = [](int64_t t, const char* text) {
    return LogRow{LogKind::kSystem, t, {text, "b", "c,with,commas"}};
  };
  Write({system(kDec7, "r1"), system(kDec7 + 7200, "r3")});
  Write({system(kDec7 + 9000, "r4"), system(kDec7 + 3600, "r2")});
  LogQuery query;
  query.kind = LogKind::kSystem;
  const std::vector<ReadRow> read = Read(query);
  EXPECT_THAT(times_of(read),
              ElementsAre(kDec7, kDec7 + 3600, kDec7 + 7200, kDec7 + 9000));
  ASSERT_EQ(read.size(), 4u);
  EXPECT_THAT(read[1].columns, ElementsAre("r2", "b", "c,with,commas"));
}

// The night the clocks go back, the stored times of one hour come twice;
// the rows' order gives each its own instant back.
TEST_F(WrittenTreeTest, InstantsSurviveTheRepeatedHour) {
  UseZone("Europe/Berlin");
  const int64_t start = 1792882800;  // 2026-10-24 23:00 UTC, 01:00 CEST
  std::vector<LogRow> rows;
  std::vector<int64_t> times;
  for (int64_t t = start; t < start + 4 * 3600; t += 599) {
    rows.push_back(access(t, {"u", "h", "ip", "op", "ok", "s", "p"}));
    times.push_back(t);
  }
  Write(rows);
  LogQuery query;
  query.want_times = true;
  EXPECT_EQ(times_of(Read(query)), times);
  EXPECT_THAT(seen_.problems, IsEmpty());
}

// What is not the writer's is told to the observer, with the path as
// stored and the line it is on, and left out; the rows around it are not.
TEST_F(WrittenTreeTest, WhatTheWriterNeverWroteIsReportedAndLeftOut) {
  const std::string file =
      Write({access(kDec7, {"bob", "h", "ip", "op", "ok", "s", "p1"}),
             access(kDec7 + 5, {"ann", "h", "ip", "op", "fail", "s", "p2"})},
            "garbage\r\n2026/12/07 09:31:00,x,h,ip,op,ok,s,bare LF\n");
  const std::string month = tree_.file("accesslog/202612/");
  tree_.write("accesslog/202612/access_2026.csv\x1b", kByteOrderMark);
  tree_.write("accesslog/202612/access_20261207093100.csv", "no mark\r\n");
  LogQuery query;
  query.filters.push_back(FieldFilter{kUser, "*n", false, false});
  const std::vector<ReadRow> read = Read(query);
  ASSERT_EQ(read.size(), 1u);
  EXPECT_EQ(read[0].columns[kPath], "p2");
  EXPECT_THAT(seen_.problems,
              ::testing::UnorderedElementsAre(
                  file + ":3: no columns", file + ":4: line ends without CR",
                  month + "access_2026.csv\x1b: not a log file, left out",
                  month + "access_20261207093100.csv: no byte order mark, "
                          "not a log file, left out"));
}

TEST_F(WrittenTreeTest, AMissingRootIsATreeErrorNamingIt) {
  Collector seen;
  const std::string root = tree_.file("none");
  try {
    LogReader reader(root, LogQuery(), seen);
    FAIL() << "opened " << root;
  } catch (const TreeError& e) {
    EXPECT_EQ(std::string(e.what()), "cannot open the log root " + root +
                                         ": No such file or directory");
    EXPECT_EQ(e.describe([](std::string_view) { return std::string("R"); }),
              "cannot open the log root R: No such file or directory");
  }
}

}  // namespace
}  // namespace quillo
