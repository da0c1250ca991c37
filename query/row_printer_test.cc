// The printers' text: JSON strings, the escaped form a terminal sees, and
// whole rows as each output form prints them.

#include "query/row_printer.h"

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <ostream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "logstore/log_kind.h"
#include "logstore/log_row.h"
#include "query/visible_text.h"

namespace quillo {
namespace {

TEST(JsonStringTest, DecodesEscapesAndReplacesBadBytes) {
  std::string out;
  append_json_string(out, "a#015#012b\"\\\x01\xC3\xA9\xFF\xE3\x81z#01");
  EXPECT_EQ(out,
            "\"a\\r\\nb\\\"\\\\\\u0001\xC3\xA9\xEF\xBF\xBD\xEF\xBF\xBD"
            "\xEF\xBF\xBDz#01\"");
  out.clear();
  append_json_string(out, "\x1B\x7F\xC2\x9B\xC2\x80\xC2\xA0");
  EXPECT_EQ(out, "\"\\u001b\\u007f\\u009b\\u0080\xC2\xA0\"");
}

struct VisibleCase {
  const char* stored;
  const char* shown;
  std::size_t columns;
};

void PrintTo(const VisibleCase& c, std::ostream* os) { *os << c.shown; }

class VisibleTextTest : public ::testing::TestWithParam<VisibleCase> {};

TEST_P(VisibleTextTest, ShowsEveryControlEscaped) {
  EXPECT_EQ(visible(GetParam().stored), GetParam().shown);
  EXPECT_EQ(visible_width(GetParam().stored), GetParam().columns);
}

INSTANTIATE_TEST_SUITE_P(
    Characters, VisibleTextTest,
    ::testing::Values(
        VisibleCase{"plain, text", "plain, text", 11},
        VisibleCase{"\x1B[31m", "\\x1b[31m", 8},
        VisibleCase{"\t\x7F\x01", "\\x09\\x7f\\x01", 12},
        VisibleCase{"\xC2\x9B"
                    "2J",
                    "\\u009b2J", 8},
        VisibleCase{"\xC2\x80\xC2\x9F\xC2\xA0", "\\u0080\\u009f\xC2\xA0", 13},
        VisibleCase{"\x9B\xFF\xC2", "\\x9b\\xff\\xc2", 12},
        VisibleCase{"a\\x1b", "a\\\\x1b", 6},
        VisibleCase{"\xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9", 3}));

// What the printer for `output` writes for `lines` of `kind`.
std::string printed(Output output, LogKind kind,
                    const std::vector<std::string>& lines) {
  char* text = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&text, &size);
  EXPECT_NE(out, nullptr);
  if (out == nullptr) return "";
  {
    const std::unique_ptr<RowPrinter> printer =
        make_printer(output, kind, out, 80);
    for (const std::string& line : lines) {
      RowView row;
      const char* why = nullptr;
      EXPECT_TRUE(decode_row(line, kind, &row, &why)) << why;
      printer->print(row);
    }
  }
  fclose(out);
  std::string result(text, size);
  free(text);
  return result;
}

TEST(RowPrinterTest, JsonNamesTheColumnsOfTheKindTable) {
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(printed(Output::kJson, LogKind::kAccess,
                    {"2026/12/07 09:30:15,bob,pc1,10.0.0.1,open_read,ok,docs,"
                     "a,b#015#012c"}),
            "{\"time\":\"2026/12/07 09:30:15\",\"timestamp\":"
            "\"2026-12-07T09:30:15+00:00\",\"user\":\"bob\",\"host\":"
            "\"pc1\",\"ip\":\"10.0.0.1\",\"op\":\"open_read\",\"result\":"
            "\"ok\",\"share\":\"docs\",\"path\":\"a,b\\r\\nc\"}\n");
  EXPECT_EQ(printed(Output::kJson, LogKind::kSystem,
                    {"2026/12/07 09:30:15,one,,three"}),
            "{\"time\":\"2026/12/07 09:30:15\",\"timestamp\":"
            "\"2026-12-07T09:30:15+00:00\",\"text1\":\"one\",\"text2\":"
            "\"\",\"text3\":\"three\"}\n");
}

TEST(RowPrinterTest, CsvIsTheRowAsStored) {
  const std::string line =
      "2026/12/07 09:30:15,u\x1b,h,1.2.3.4,delete,fail (x),s,\xFFp";
  EXPECT_EQ(printed(Output::kCsv, LogKind::kAlert, {line}), line + "\n");
}

}  // namespace
}  // namespace quillo
