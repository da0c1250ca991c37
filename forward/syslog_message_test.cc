#include "forward/syslog_message.h"

#include <stdlib.h>
#include <time.h>

#include <ostream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/rfc3339.h"
#include "base/utf8.h"

namespace quillo {
namespace {

using base::repair_utf8;
using base::rfc3339_local_time;

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// A fixed zone for the whole binary, so the offsets below are known.
class FixedZone {
 public:
  explicit FixedZone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }
};

const SyslogOrigin kOrigin{"nas1", 812};

// A row as the log store offers it: the row and its line as written.
struct OfferedRow {
  LogRow row;
  std::string line;
};

std::string format(const OfferedRow& w, std::size_t limit = kMaxSyslogMessage) {
  return format_syslog_message(w.row, w.line, kOrigin, limit);
}

OfferedRow access_row(LogKind kind) {
  return OfferedRow{
      {kind,
       1796635815,  // 2026-12-07 09:30:15 UTC
       {"ann", "pc1", "10.0.0.5", "open_read", "ok", "docs", "a.txt"}},
      "2026/12/07 18:30:15,ann,pc1,10.0.0.5,open_read,ok,docs,"
      "a.txt"};
}

TEST(SyslogMessageTest, FormatsEachKindWithHeaderAndStructuredData) {
  FixedZone zone("JST-9");
  EXPECT_EQ(format(access_row(LogKind::kAccess)),
            "<134>1 2026-12-07T18:30:15+09:00 nas1 quillod 812 access "
            "[quillo@32473 user=\"ann\" host=\"pc1\" ip=\"10.0.0.5\" "
            "op=\"open_read\" result=\"ok\" share=\"docs\" path=\"a.txt\"] "
            "2026/12/07 18:30:15,ann,pc1,10.0.0.5,open_read,ok,docs,a.txt");
  // Alert rows are notices.
  EXPECT_THAT(format(access_row(LogKind::kAlert)),
              StartsWith("<133>1 2026-12-07T18:30:15+09:00 nas1 quillod 812 "
                         "alert [quillo@32473 user=\"ann\""));
  const OfferedRow system{{LogKind::kSystem, 1796635815, {"a", "b", "c"}},
                          "2026/12/07 18:30:15,a,b,c"};
  EXPECT_EQ(format(system),
            "<134>1 2026-12-07T18:30:15+09:00 nas1 quillod 812 system "
            "[quillo@32473 text1=\"a\" text2=\"b\" text3=\"c\"] "
            "2026/12/07 18:30:15,a,b,c");
}

TEST(SyslogMessageTest, TimeCarriesTheLocalOffset) {
  FixedZone west("UTC+3:30");  // POSIX sign: 3:30 west of Greenwich
  EXPECT_EQ(rfc3339_local_time(1796635815), "2026-12-07T06:00:15-03:30");
  FixedZone utc("UTC0");
  EXPECT_EQ(rfc3339_local_time(0), "1970-01-01T00:00:00+00:00");
}

TEST(SyslogMessageTest, EscapesParameterValuesButNotMsg) {
  FixedZone zone("UTC0");
  const OfferedRow row{
      {LogKind::kSystem, 0, {"say \"hi\"", "a]b\\c", "x\r\ny"}},
      "1970/01/01 00:00:00,say \"hi\",a]b\\c,x#015#012y"};
  const std::string m = format(row);
  EXPECT_THAT(m, HasSubstr("text1=\"say \\\"hi\\\"\" text2=\"a\\]b\\\\c\" "
                           "text3=\"x\r\ny\"] "));
  EXPECT_THAT(m, EndsWith("] 1970/01/01 00:00:00,say \"hi\",a]b\\c,"
                          "x#015#012y"));
}

TEST(SyslogMessageTest, ReplacesInvalidUtf8) {
  EXPECT_EQ(repair_utf8("ok \xE6\x97\xA5"), "ok \xE6\x97\xA5");
  EXPECT_EQ(repair_utf8("a\xFF"
                        "b"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(repair_utf8("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // overlong
  EXPECT_EQ(repair_utf8("\xED\xA0\x80"),  // a surrogate
            "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(repair_utf8("\xE6\x97"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // cut short
  EXPECT_EQ(repair_utf8("\xF4\x90\x80\x80").substr(0, 3), "\xEF\xBF\xBD");
  OfferedRow row = access_row(LogKind::kAccess);
  row.row.columns[6] = "bad\xFE";
  row.line += "\xFE";
  const std::string m = format(row);
  EXPECT_EQ(m, repair_utf8(m));
  EXPECT_THAT(m, HasSubstr("path=\"bad\xEF\xBF\xBD\"]"));
}

TEST(SyslogMessageTest, LongRowShortensMsgFirstThenFields) {
  FixedZone zone("UTC0");
  OfferedRow row = access_row(LogKind::kAccess);
  // A path of 5000 two-byte letters: the CSV and the field together pass
  // the limit, the field alone does not.
  std::string path;
  for (int i = 0; i < 2500; ++i) path += "\xC3\xA9";
  row.row.columns[6] = path;
  row.line += path;
  std::string m = format(row);
  EXPECT_LE(m.size(), kMaxSyslogMessage);
  EXPECT_GE(m.size(), kMaxSyslogMessage - 2);  // cut on a boundary only
  EXPECT_THAT(m, HasSubstr("path=\"" + path + "\"]"));
  EXPECT_THAT(m, EndsWith("..."));
  EXPECT_EQ(m, repair_utf8(m));

  // A field longer than the limit itself is cut too.
  row.row.columns[6] = std::string(20000, ']');
  m = format(row);
  EXPECT_LE(m.size(), kMaxSyslogMessage);
  EXPECT_THAT(m, HasSubstr("\\]...\"] "));
}

// A row too long for one message, and how close to the limit its message
// must come: short of it by less than one (escaped) character.
struct CutCase {
  const char* name;
  std::string text1;
  std::string csv;
  std::size_t slack;
  bool msg_kept;  // the MSG was too short to give anything
};

std::string repeat(const std::string& unit, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += unit;
  return out;
}

void PrintTo(const CutCase& c, std::ostream* os) { *os << c.name; }

class SyslogCutTest : public ::testing::TestWithParam<CutCase> {};

TEST_P(SyslogCutTest, FillsTheLimitAndNeverLengthensAPart) {
  FixedZone zone("UTC0");
  const CutCase& c = GetParam();
  const OfferedRow row{{LogKind::kSystem, 0, {c.text1, "b", "c"}}, c.csv};
  const std::string m = format(row);
  EXPECT_LE(m.size(), kMaxSyslogMessage);
  EXPECT_GE(m.size() + c.slack, kMaxSyslogMessage);
  EXPECT_EQ(m, repair_utf8(m));
  EXPECT_THAT(m, HasSubstr(" text2=\"b\" text3=\"c\"] "));
  if (c.msg_kept) {
    EXPECT_THAT(m, EndsWith("\"] " + c.csv));
  } else {
    EXPECT_THAT(m, EndsWith("..."));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SyslogCutTest,
    ::testing::Values(
        // Each of these doubles when escaped.
        CutCase{"Quotes", std::string(5000, '"'),
                "1970/01/01 00:00:00," + std::string(5000, '"') + ",b,c", 1,
                false},
        CutCase{"Backslashes", std::string(5000, '\\'), "", 1, true},
        CutCase{"FourByteLetters", repeat("\xF0\x9F\x98\x80", 3000),
                "x" + repeat("\xF0\x9F\x98\x80", 10), 3, false},
        CutCase{"EmptyMsg", std::string(9000, 'a'), "", 0, true},
        CutCase{"OneByteMsg", std::string(9000, 'a'), "a", 0, true},
        CutCase{"TwoByteMsg", std::string(9000, ']'), "ab", 1, true},
        CutCase{"LongMsg", "a", std::string(9000, 'm'), 0, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SyslogMessageTest, FramesByOctetCount) {
  EXPECT_EQ(octet_counted_frame("abc"), "3 abc");
  EXPECT_EQ(octet_counted_frame("\xC3\xA9"), "2 \xC3\xA9");
}

}  // namespace
}  // namespace quillo
