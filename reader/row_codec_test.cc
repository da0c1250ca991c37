// The row codec as the reader meets it: decode_row() on what a log file
// holds, with the reasons it refuses a line, and the result word the
// filters compare.

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "logstore/log_kind.h"
#include "logstore/log_row.h"
#include "reader/row_matcher.h"

namespace quillo {
namespace {

using ::testing::ElementsAre;

std::vector<std::string> fields_of(const RowView& row) {
  std::vector<std::string> out = {std::string(row.time)};
  for (std::size_t i = 0; i < row.column_count; ++i) {
    out.emplace_back(row.columns[i]);
  }
  return out;
}

TEST(DecodeRowTest, LastColumnKeepsItsCommas) {
  RowView row;
  const char* why = nullptr;
  ASSERT_TRUE(decode_row("2026/12/07 09:30:15,u,h,1.2.3.4,open_read,ok,s,a,b,c",
                         LogKind::kAccess, &row, &why));
  EXPECT_THAT(fields_of(row),
              ElementsAre("2026/12/07 09:30:15", "u", "h", "1.2.3.4",
                          "open_read", "ok", "s", "a,b,c"));
  ASSERT_TRUE(
      decode_row("2026/12/07 09:30:15,t1,,x,y", LogKind::kSystem, &row, &why));
  EXPECT_THAT(fields_of(row),
              ElementsAre("2026/12/07 09:30:15", "t1", "", "x,y"));
  // Any client may send a byte order mark in a field; it is kept.
  ASSERT_TRUE(
      decode_row("2026/12/07 09:30:15,u,h,1.2.3.4,delete,ok,s,"
                 "\xEF\xBB\xBFnotes.txt",
                 LogKind::kAccess, &row, &why))
      << why;
  EXPECT_EQ(row.columns[kPath], "\xEF\xBB\xBFnotes.txt");
}

struct DamagedCase {
  LogKind kind;
  std::string line;
  std::string why;
};

void PrintTo(const DamagedCase& c, std::ostream* os) {
  *os << ::testing::PrintToString(c.line);
}

class DamagedRowTest : public ::testing::TestWithParam<DamagedCase> {};

TEST_P(DamagedRowTest, IsRefusedWithAReason) {
  RowView row;
  const char* why = nullptr;
  EXPECT_FALSE(decode_row(GetParam().line, GetParam().kind, &row, &why));
  ASSERT_NE(why, nullptr);
  EXPECT_EQ(std::string(why), GetParam().why);
}

constexpr LogKind kA = LogKind::kAccess;
constexpr LogKind kS = LogKind::kSystem;

INSTANTIATE_TEST_SUITE_P(
    Lines, DamagedRowTest,
    ::testing::Values(
        DamagedCase{kA, "", "no columns"},
        DamagedCase{kA, "2026/12/07 09:30:15,u,h", "too few columns"},
        DamagedCase{kS, "2026/12/07 09:30:15,a,b", "too few columns"},
        DamagedCase{kS, "2026-12-07 09:30:15,a,b,c", "malformed time"},
        DamagedCase{kS, "2026/13/07 09:30:15,a,b,c", "malformed time"},
        DamagedCase{kS, "2026/12/07 9:30:15,a,b,c", "malformed time"},
        DamagedCase{kS,
                    "\xEF\xBB\xBF"
                    "2026/12/07 09:30:15,a,b,c",
                    "byte order mark inside the row"},
        DamagedCase{kS, "2026/12/07 09:30:15,a\r,b,c",
                    "line break inside the row"},
        DamagedCase{kS, "2026/02/29 09:30:15,a,b,c", "malformed time"},
        DamagedCase{kS, "2026/04/31 09:30:15,a,b,c", "malformed time"},
        DamagedCase{kS, "2026/12/00 09:30:15,a,b,c", "malformed time"}));

TEST(ResultWordTest, IsTheWordBeforeTheReason) {
  EXPECT_EQ(result_word("fail (Permission denied)"), "fail");
  EXPECT_EQ(result_word("ok"), "ok");
}

}  // namespace
}  // namespace quillo
