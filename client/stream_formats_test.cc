// The stream formats on real lines, and fitting long records into a body.

#include "client/stream_formats.h"

#include <errno.h>

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "client/record_fit.h"
#include "protocol/packet.h"

namespace quillo {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

struct LineCase {
  const char* name;
  std::string line;
  ParsedLine::Kind kind;
  std::vector<std::string> fields;  // for kRecord
  bool unknown_error_text = false;
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }

class SambaAuditLineTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(SambaAuditLineTest, MapsTheLine) {
  const ParsedLine p = parse_samba_audit_line(GetParam().line);
  ASSERT_EQ(p.kind, GetParam().kind) << p.reason;
  EXPECT_EQ(p.unknown_error_text, GetParam().unknown_error_text);
  if (p.kind == ParsedLine::kRecord) {
    EXPECT_TRUE(p.record.access);
    EXPECT_THAT(p.record.fields, ElementsAreArray(GetParam().fields));
  }
}

const std::string kPrefix = "alice|pc07|192.168.1.20|docs|/srv/docs|";

INSTANTIATE_TEST_SUITE_P(
    Lines, SambaAuditLineTest,
    ::testing::Values(
        // As rsyslog's file template writes it: time, host, tag.
        LineCase{"ReadAsRsyslogWritesIt",
                 "2026-12-08T10:00:00.123+00:00 nas smbd_audit: " + kPrefix +
                     "openat|ok|r|/srv/docs/q3/report, final.txt",
                 ParsedLine::kRecord,
                 {"alice", "pc07", "192.168.1.20", "open", "1", "0", "docs",
                  "r|q3/report, final.txt"}},
        LineCase{"WriteWithPid",
                 "Dec  8 10:00:00 nas smbd_audit[812]: " + kPrefix +
                     "openat|ok|w|/srv/docs/a|b \xe6\x97\xa5.txt",
                 ParsedLine::kRecord,
                 {"alice", "pc07", "192.168.1.20", "open", "1", "0", "docs",
                  "w|a|b \xe6\x97\xa5.txt"}},
        LineCase{
            "ShareRootIsDot",
            "smbd_audit: " + kPrefix + "openat|ok|r|/srv/docs",
            ParsedLine::kRecord,
            {"alice", "pc07", "192.168.1.20", "open", "1", "0", "docs", "r|."}},
        LineCase{"FailedOpenKnownError",
                 "smbd_audit: " + kPrefix +
                     "openat|fail (No such file or directory)|r|/srv/docs/x",
                 ParsedLine::kRecord,
                 {"alice", "pc07", "192.168.1.20", "open", "0",
                  std::to_string(ENOENT), "docs", "r|x"}},
        LineCase{
            "UnknownErrorText",
            "smbd_audit: " + kPrefix +
                "unlinkat|fail (NT_STATUS_SOMETHING)|/srv/docs/y",
            ParsedLine::kRecord,
            {"alice", "pc07", "192.168.1.20", "delete", "0", "0", "docs", "y"},
            true},
        LineCase{"RenameWithBarInName",
                 "smbd_audit: " + kPrefix +
                     "renameat|ok|/srv/docs/old|x.txt|/srv/docs/sub/new.txt",
                 ParsedLine::kRecord,
                 {"alice", "pc07", "192.168.1.20", "rename", "1", "0", "docs",
                  "old|x.txt -> sub/new.txt"}},
        LineCase{
            "HiddenShareKeptAsWritten",
            "smbd_audit: bob|pc1|10.0.0.2|admin_|/srv/admin/|mkdirat|ok|"
            "/srv/admin/new dir",
            ParsedLine::kRecord,
            {"bob", "pc1", "10.0.0.2", "mkdir", "1", "0", "admin_", "new dir"}},
        LineCase{"ConnectIsSkipped",
                 "smbd_audit: " + kPrefix + "connect|ok|docs",
                 ParsedLine::kSkipped,
                 {}},
        LineCase{"NoTag",
                 "alice|pc07|1.2.3.4|docs|/srv|openat|ok|r|/srv/a",
                 ParsedLine::kUnparseable,
                 {}},
        LineCase{"TooFewFields",
                 "smbd_audit: alice|pc07|openat",
                 ParsedLine::kUnparseable,
                 {}},
        LineCase{"BadResult",
                 "smbd_audit: " + kPrefix + "openat|maybe|r|/srv/a",
                 ParsedLine::kUnparseable,
                 {}},
        // A record holds C strings: a NUL would cut the path short.
        LineCase{"NulInPath",
                 "smbd_audit: " + kPrefix +
                     std::string("openat|ok|r|/srv/docs/r|secret\0.txt", 35),
                 ParsedLine::kUnparseable,
                 {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FieldsLineTest, EscapesAndKinds) {
  ParsedLine p = parse_fields_line(
      "access\tbob\tpc1\t10.0.0.1\topen\t1\t0\tdocs\tr|a\\tb\\\\c\\nd");
  ASSERT_EQ(p.kind, ParsedLine::kRecord);
  EXPECT_TRUE(p.record.access);
  EXPECT_EQ(p.record.fields.back(), "r|a\tb\\c\nd");
  p = parse_fields_line("system\t1700000000\tone\t\tthree\\r");
  ASSERT_EQ(p.kind, ParsedLine::kRecord);
  EXPECT_FALSE(p.record.access);
  EXPECT_THAT(p.record.fields, ElementsAre("1700000000", "one", "", "three\r"));
  for (const char* bad : {"system\t1\t2\t3", "other\t1\t2\t3\t4",
                          "system\t1\t2\t3\t4\\x", "system\t1\t2\t3\t4\\"}) {
    EXPECT_EQ(parse_fields_line(bad).kind, ParsedLine::kUnparseable) << bad;
  }
  p = parse_fields_line(
      std::string("access\tbob\tpc1\t10.0.0.1\topen\t1\t0\tdocs\tr|s\0.txt", 46));
  EXPECT_EQ(p.kind, ParsedLine::kUnparseable);
  EXPECT_EQ(p.reason, "NUL byte in the line");
}

TEST(FieldsLineTest, TimeLongerThanAnyTimeIsUnparseable) {
  const std::string longest(kMaxTimeBytes, '1');
  ParsedLine p = parse_fields_line("system\t" + longest + "\t\t\t");
  ASSERT_EQ(p.kind, ParsedLine::kRecord);
  // It fits with room to spare, however long the texts.
  p.record.fields[1] = std::string(9000, 't');
  EXPECT_TRUE(static_cast<const quillo::ReqSystemLog&>(
                  *build_record(false, p.record.fields))
                  .well_formed());
  p = parse_fields_line("system\t" + longest + "1\t\t\t");
  EXPECT_EQ(p.kind, ParsedLine::kUnparseable);
  EXPECT_EQ(p.reason, "TIME longer than 64 bytes");
}

TEST(RecordFitTest, LongPathIsCutFirstThenTheLongestField) {
  std::vector<std::string> f = {
      "u", "h", "i", "open", "1", "0", "docs", "r|" + std::string(5000, 'p')};
  EXPECT_EQ(fit_access_fields(f), 1);
  EXPECT_EQ(f[7].size(), kAccessTextRoom - (1 + 1 + 1 + 4 + 4));
  EXPECT_EQ(f[7].substr(0, 3), "r|p");
  EXPECT_EQ(f[7].substr(f[7].size() - 3), "...");

  // The path alone cannot make room: it becomes "...", then the user.
  f = {std::string(3000, 'u'),
       std::string(2000, 'h'),
       "i",
       "open",
       "1",
       "0",
       "docs",
       "r|abc"};
  EXPECT_EQ(fit_access_fields(f), 2);
  EXPECT_EQ(f[7], "...");
  EXPECT_EQ(f[1].size(), 2000u);
  std::size_t sum = 0;
  for (int i : {0, 1, 2, 3, 6, 7}) sum += f[i].size();
  EXPECT_EQ(sum, kAccessTextRoom);

  // Cuts fall between characters: "\xe6\x97\xa5" is never split.
  std::string text;
  for (int i = 0; i < 2000; ++i) text += "\xe6\x97\xa5";
  std::vector<std::string> s = {"1700000000", text, "", ""};
  EXPECT_EQ(fit_system_fields(s), 1);
  EXPECT_EQ((s[1].size() - 3) % 3, 0u);
  EXPECT_LE(s[0].size() + s[1].size(), kSystemTextRoom);

  // The record built from the fitted fields is whole.
  const auto record = build_record(
      true, {"u", "h", "i", "open", "1", "0", "docs", std::string(9000, 'x')});
  EXPECT_TRUE(static_cast<const quillo::ReqAccessLog&>(*record).well_formed());
}

}  // namespace
}  // namespace quillo
