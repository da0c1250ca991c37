// The request documents of the notification scripts, built without
// running anything.

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "notice/notice.h"

namespace quillo {
namespace {

struct TextCase {
  std::string input;
  std::string expected;
};

class XmlEscapeTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(XmlEscapeTest, ReplacesOnlyAmpersandAndAngleBrackets) {
  EXPECT_EQ(xml_escape(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, XmlEscapeTest,
    ::testing::Values(TextCase{"", ""}, TextCase{"plain", "plain"},
                      TextCase{"a&b<c>d", "a&amp;b&lt;c&gt;d"},
                      TextCase{"&amp;", "&amp;amp;"},
                      TextCase{"\"q\" 'a'\t\x01", "\"q\" 'a'\t\x01"},
                      TextCase{"\xe6\x9d\xa1<", "\xe6\x9d\xa1&lt;"}));

class XmlSafeTextTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(XmlSafeTextTest, LeavesOnlyCharactersXmlAllows) {
  EXPECT_EQ(xml_safe_text(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Bytes, XmlSafeTextTest,
    ::testing::Values(
        TextCase{"plain, text\tand tab", "plain, text\tand tab"},
        TextCase{"\x01\x1f\n\r", "#001#037#012#015"},
        TextCase{std::string("a\0b", 3), "a#000b"},
        TextCase{"\xe3\x82\xaf \xf0\x9f\x98\x80",
                 "\xe3\x82\xaf \xf0\x9f\x98\x80"},
        TextCase{"\xff\x80", "\xef\xbf\xbd\xef\xbf\xbd"},
        TextCase{"\xc0\xaf", "\xef\xbf\xbd\xef\xbf\xbd"},  // overlong
        TextCase{"\xed\xa0\x80",
                 "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // surrogate
        TextCase{"\xe3\x82", "\xef\xbf\xbd\xef\xbf\xbd"},  // cut short
        TextCase{"\xef\xbf\xbe\xef\xbf\xbf", "\xef\xbf\xbd\xef\xbf\xbd"},
        TextCase{"\xf4\x90\x80\x80",
                 "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"}));

class FillMailBodyTest : public ::testing::TestWithParam<TextCase> {};

TEST_P(FillMailBodyTest, SubstitutesOnlyAddressAndPercent) {
  EXPECT_EQ(fill_mail_body(GetParam().input, "a@x"), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FillMailBodyTest,
    ::testing::Values(TextCase{"to %s.", "to a@x."},
                      TextCase{"%s and %s", "a@x and a@x"},
                      TextCase{"100%%", "100%"}, TextCase{"%%s", "%s"},
                      TextCase{"%d %n %x %", "%d %n %x %"},
                      TextCase{"/share/50%off/%s%", "/share/50%off/a@x%"}));

TEST(NoticeEntryTest, EventlogEntryWithoutArgumentsHasNoArglist) {
  EXPECT_EQ(make_eventlog_entry("71100010", {}),
            "<entry type=\"add\"><eventlog><log><code>71100010</code></log>"
            "</eventlog></entry>");
}

TEST(NoticeEntryTest, EventlogArgumentsInNameOrderWithEscapedValues) {
  EXPECT_EQ(
      make_eventlog_entry("71100010", {{"number", "3"}, {"name", "<w&1>"}}),
      "<entry type=\"add\"><eventlog><log><code>71100010</code>"
      "<arglist><arg name=\"name\">&lt;w&amp;1&gt;</arg>"
      "<arg name=\"number\">3</arg></arglist></log></eventlog></entry>");
}

TEST(NoticeEntryTest, BuzzerMelodiesAndUnknownNumbers) {
  EXPECT_EQ(make_buzzer_entry(0),
            "<entry type=\"play\"><buzzer><melody type=\"ok\"/></buzzer>"
            "</entry>");
  EXPECT_EQ(make_buzzer_entry(1),
            "<entry type=\"play\"><buzzer><melody type=\"error\"/></buzzer>"
            "</entry>");
  EXPECT_THROW(make_buzzer_entry(2), std::invalid_argument);
  EXPECT_THROW(make_buzzer_entry(-1), std::invalid_argument);
}

}  // namespace
}  // namespace quillo
