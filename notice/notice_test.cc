#include "notice/notice.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/exec/command.h"
#include "support/xml/dom.h"
#include "support/xml/xml_data.h"
#include "testing/temp_tree.h"

using quillo::CmdExecError;

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr char kOkAnswer[] =
    "<response><entrylist><entry result=\"0\"/></entrylist></response>";

// ---------------------------------------------------------------------------
// Building the documents.

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

// ---------------------------------------------------------------------------
// Running scripts in a temporary appliance tree.

// A temporary tree laid out as the appliance's, with the folders the
// notices use. The scripts a test writes record every request they get,
// NUL-separated, in "<script>.requests".
class NoticeTreeTest : public ::testing::Test {
 protected:
  NoticeTreeTest() {
    tree_.dir("mnt/data/bin");
    tree_.dir("mnt/data/xmlconf");
    tree_.dir("var/lock");
  }

  void TearDown() override { set_script_timeout(0); }

  // A script that records its request, prints `answer` and exits `status`.
  static void write_script(const std::string& path, const std::string& answer,
                           int status = 0) {
    write_raw_script(path,
                     "cat >> \"$0.requests\"\n"
                     "printf '\\000' >> \"$0.requests\"\n"
                     "printf '%s' '" +
                         answer +
                         "'\n"
                         "exit " +
                         std::to_string(status) + "\n");
  }

  static void write_raw_script(const std::string& path,
                               const std::string& body) {
    std::ofstream(path) << "#!/bin/sh\n" << body;
    ASSERT_EQ(chmod(path.c_str(), 0755), 0);
  }

  static std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  static std::vector<std::string> requests(const std::string& script) {
    std::vector<std::string> out;
    std::istringstream in(read_file(script + ".requests"));
    for (std::string one; std::getline(in, one, '\0');) out.push_back(one);
    return out;
  }

  void write_notice_config(const std::string& mailconfs) const {
    std::ofstream(paths_.settings)
        << "<?xml version=\"1.0\"?>\n<config><mailnotice><mailconflist>"
        << mailconfs << "</mailconflist></mailnotice></config>\n";
  }

  // One mailconf element; `notify` goes inside its notifylist.
  static std::string mailconf(const std::string& enable,
                              const std::string& notify,
                              const std::vector<std::string>& addresses) {
    std::string conf = "<mailconf enable=\"" + enable + "\"><notifylist>" +
                       notify + "</notifylist><toaddrlist>";
    for (const std::string& a : addresses) conf += "<toaddr>" + a + "</toaddr>";
    return conf + "</toaddrlist></mailconf>";
  }

  static std::string system_on() {
    return "<notify name=\"disk\" enable=\"false\"/>"
           "<notify name=\"system\" enable=\"true\"/>";
  }

  quillo_test::TempTree tree_{"notice-test"};
  // The appliance's layout, as the example tree's stand-in scripts use it.
  const NoticePaths paths_{tree_.file("mnt/data/bin/vek_eventlog.py"),
                           tree_.file("mnt/data/bin/vek_buzzer.py"),
                           tree_.file("mnt/data/bin/vek_mailsend.py"),
                           tree_.file("mnt/data/xmlconf/config-notice.xml"),
                           tree_.file("var/lock/config-notice.xml.lock")};
  Notifier notifier_{paths_};
  MailOutcome mail_;
};

using NoticeRequestTest = NoticeTreeTest;

TEST_F(NoticeRequestTest, EventlogRequestsReachTheScriptByteForByte) {
  const std::string script = paths_.eventlog_script;
  write_script(script, kOkAnswer);
  notifier_.send_eventlog("71000010",
                          {{"name", "a&b"}, {"mail_address", "x@y"}});
  notifier_.send_eventlog("71100010", {});
  EXPECT_THAT(
      requests(script),
      ElementsAre(
          "<request><entrylist><entry type=\"add\"><eventlog><log><code>"
          "71000010</code><arglist><arg name=\"mail_address\">x@y</arg>"
          "<arg name=\"name\">a&amp;b</arg></arglist></log></eventlog>"
          "</entry></entrylist></request>",
          "<request><entrylist><entry type=\"add\"><eventlog><log><code>"
          "71100010</code></log></eventlog></entry></entrylist></request>"));
}

TEST_F(NoticeRequestTest, BuzzerPlaysKnownMelodiesAndDropsFailures) {
  const std::string script = paths_.buzzer_script;
  write_script(script, "<response/>", 1);
  EXPECT_NO_THROW(notifier_.play_buzzer(1));
  EXPECT_NO_THROW(notifier_.play_buzzer(7));  // unknown: no request at all
  EXPECT_NO_THROW(notifier_.play_buzzer(0));
  EXPECT_EQ(notifier_.stats().script_failures, 2u);  // the two that ran
  EXPECT_THAT(requests(script),
              ElementsAre("<request><entrylist><entry type=\"play\"><buzzer>"
                          "<melody type=\"error\"/></buzzer></entry>"
                          "</entrylist></request>",
                          "<request><entrylist><entry type=\"play\"><buzzer>"
                          "<melody type=\"ok\"/></buzzer></entry>"
                          "</entrylist></request>"));
}

struct AnswerCase {
  std::string answer;
  int status;
  std::string error;  // what() after the script path; empty: success
};

class SendNoticeRequestTest : public NoticeTreeTest,
                              public ::testing::WithParamInterface<AnswerCase> {
};

TEST_P(SendNoticeRequestTest, JudgesTheAnswer) {
  const std::string script = paths_.eventlog_script;
  write_script(script, GetParam().answer, GetParam().status);
  if (GetParam().error.empty()) {
    EXPECT_EQ(send_notice_request(script, "<entry/>"), GetParam().answer);
    return;
  }
  try {
    send_notice_request(script, "<entry/>");
    FAIL() << "no error raised";
  } catch (const CmdExecError& e) {
    EXPECT_EQ(e.what(), script + GetParam().error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, SendNoticeRequestTest,
    ::testing::Values(
        AnswerCase{kOkAnswer, 0, ""},
        AnswerCase{"<r><entrylist><entry result=\"0\"/><entry result=\"9\"/>"
                   "</entrylist><junk/></r>",
                   0, ""},
        AnswerCase{"", 0, ": response invalid!!"},
        AnswerCase{"not xml at all", 0, ": response invalid!!"},
        AnswerCase{"<response/>", 0, ": response invalid!!"},
        AnswerCase{"<response><entrylist><entry/></entrylist></response>", 0,
                   ": response invalid!!"},
        AnswerCase{"<response><entrylist><entry result=\"1\"/></entrylist>"
                   "</response>",
                   0, ": result error - 1"},
        AnswerCase{"<response><entrylist><entry result=\"\"/></entrylist>"
                   "</response>",
                   0, ": result error - "},
        AnswerCase{kOkAnswer, 3, "  - 3"}));

TEST_F(NoticeRequestTest, MissingScriptFailsWithStatusTwo) {
  const std::string script = paths_.eventlog_script;  // not written
  try {
    send_notice_request(script, "<entry/>");
    FAIL() << "no error raised";
  } catch (const CmdExecError& e) {
    EXPECT_EQ(std::string(e.what()), script + "  - 2");
  }
}

TEST_F(NoticeRequestTest, ScriptThatDoesNotEndIsKilled) {
  const std::string script = paths_.eventlog_script;
  write_raw_script(script, "cat > /dev/null\nsleep 60\n");
  set_script_timeout(1);
  const auto start = std::chrono::steady_clock::now();
  try {
    send_notice_request(script, "<entry/>");
    FAIL() << "no error raised";
  } catch (const CmdExecError& e) {
    EXPECT_THAT(e.what(), HasSubstr("timeout"));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

// ---------------------------------------------------------------------------
// Mail profiles and mail requests.

using MailRequestTest = NoticeTreeTest;

TEST_F(MailRequestTest, ProfilesAreNumberedAmongAllMailconfs) {
  write_notice_config(
      mailconf("true", "<notify name=\"system\" enable=\"false\"/>", {"a@x"}) +
      mailconf("true", "<notify name=\"disk\" enable=\"true\"/>", {"b@x"}) +
      mailconf("false", system_on(), {"c@x"}) +
      mailconf("TRUE", system_on(), {"d@x"}) +
      mailconf("true", system_on(), {"e@x", "", "f@x"}));
  const std::vector<MailProfile> profiles = notifier_.read_mail_profiles();
  ASSERT_EQ(profiles.size(), 1u);
  EXPECT_EQ(profiles[0].profile_number, 4);
  EXPECT_THAT(profiles[0].to_addresses, ElementsAre("e@x", "f@x"));
}

TEST_F(MailRequestTest, OnlySecondOfThreeEnabledSendsProfileOne) {
  write_notice_config(mailconf("false", system_on(), {"a@x"}) +
                      mailconf("true", system_on(), {"b&amp;c@x", "d@x"}) +
                      mailconf("false", system_on(), {"e@x"}));
  mail_ = MailOutcome{{"stale"}, {"stale"}};
  write_script(paths_.mailsend_script, kOkAnswer);
  EXPECT_EQ(notifier_.send_mail("S & <T> \"q\"",
                                "B & <C> \"q\" to %s, 5%% %d %n", &mail_),
            0);
  EXPECT_THAT(mail_.sent, ElementsAre("b&c@x", "d@x"));
  EXPECT_THAT(mail_.failed, IsEmpty());
  EXPECT_THAT(requests(paths_.mailsend_script),
              ElementsAre("<request><entrylist><entry type=\"send\"><mailsend>"
                          "<mailconf profilenum=\"1\"/><message><header>"
                          "<subject>S &amp; &lt;T&gt; \"q\"</subject></header>"
                          "<body>B &amp; &lt;C&gt; \"q\" to b&amp;c@x, 5% %d %n"
                          "</body></message></mailsend></entry></entrylist>"
                          "</request>"));
}

TEST_F(MailRequestTest, FailingProfileLandsInFailedOthersInSent) {
  write_notice_config(mailconf("true", system_on(), {"a@x", "b@x"}) +
                      mailconf("true", system_on(), {"c@x"}) +
                      mailconf("true", system_on(), {"d@x"}));
  write_raw_script(paths_.mailsend_script,
                   "case \"$(cat)\" in *'profilenum=\"1\"'*) exit 1;; esac\n"
                   "printf '%s' '" +
                       std::string(kOkAnswer) + "'\n");
  EXPECT_EQ(notifier_.send_mail("s", "b", &mail_), 0);
  EXPECT_THAT(mail_.sent, ElementsAre("a@x", "b@x", "d@x"));
  EXPECT_THAT(mail_.failed, ElementsAre("c@x"));
  EXPECT_EQ(notifier_.stats().script_failures, 1u);
}

TEST_F(MailRequestTest, ScriptThatDoesNotEndCountsAsFailed) {
  write_notice_config(mailconf("true", system_on(), {"a@x"}));
  write_raw_script(paths_.mailsend_script, "cat > /dev/null\nsleep 60\n");
  set_script_timeout(1);
  EXPECT_EQ(notifier_.send_mail("s", "b", &mail_), 0);
  EXPECT_THAT(mail_.sent, IsEmpty());
  EXPECT_THAT(mail_.failed, ElementsAre("a@x"));
}

TEST_F(MailRequestTest, ProfileWithoutAddressesStillSendsWithEmptyAddress) {
  write_notice_config(mailconf("true", system_on(), {}));
  write_script(paths_.mailsend_script, kOkAnswer);
  EXPECT_EQ(notifier_.send_mail("s", "[%s]", &mail_), 0);
  EXPECT_THAT(mail_.sent, IsEmpty());
  ASSERT_EQ(requests(paths_.mailsend_script).size(), 1u);
  EXPECT_THAT(requests(paths_.mailsend_script)[0],
              HasSubstr("<body>[]</body>"));
}

TEST_F(MailRequestTest, NoUsableProfileReturnsOneWithoutRunningScript) {
  write_notice_config(mailconf("false", system_on(), {"a@x"}));
  mail_ = MailOutcome{{"stale"}, {"stale"}};
  write_script(paths_.mailsend_script, kOkAnswer);
  EXPECT_EQ(notifier_.send_mail("s", "b", &mail_), 1);
  EXPECT_THAT(mail_.sent, IsEmpty());
  EXPECT_THAT(mail_.failed, IsEmpty());
  EXPECT_FALSE(fs::exists(paths_.mailsend_script + ".requests"));

  write_notice_config("");
  EXPECT_EQ(notifier_.send_mail("s", "b", &mail_), 1);
}

TEST_F(MailRequestTest, HeldLockIsWaitedForOnlyWithinItsBound) {
  write_notice_config(mailconf("true", system_on(), {"a@x"}));
  const int fd = open(paths_.settings_lock.c_str(), O_RDONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  Notifier notifier(paths_, std::chrono::milliseconds(300));
  EXPECT_THROW(notifier.read_mail_profiles(), XmlLockError);
  EXPECT_EQ(notifier.stats().lock_busy, 1u);
  close(fd);
  EXPECT_EQ(notifier.read_mail_profiles().size(), 1u);
}

TEST_F(MailRequestTest, ValuesAreNotTemplate) {
  write_notice_config(mailconf("true", system_on(), {"a@x"}));
  write_script(paths_.mailsend_script, kOkAnswer);
  ASSERT_EQ(notifier_.send_mail_to(notifier_.read_mail_profiles(), "s",
                                   {{"to %s: ", true}, {"100%s & 5%%", false}},
                                   &mail_),
            0);
  ASSERT_EQ(requests(paths_.mailsend_script).size(), 1u);
  EXPECT_THAT(requests(paths_.mailsend_script)[0],
              HasSubstr("<body>to a@x: 100%s &amp; 5%%</body>"));
}

TEST_F(NoticeRequestTest, FloodedAnswerIsCutAndJudgedFromWhatWasKept) {
  write_raw_script(paths_.eventlog_script,
                   "cat > /dev/null\nhead -c 3000000 /dev/zero | tr '\\0' x\n");
  EXPECT_THROW(notifier_.send_request(paths_.eventlog_script, "<entry/>"),
               CmdExecError);
  EXPECT_EQ(notifier_.stats().answers_cut, 1u);
}

TEST_F(MailRequestTest, UnreadableSettingsPassOutBeforeAnyMail) {
  write_script(paths_.mailsend_script, kOkAnswer);
  EXPECT_THROW(notifier_.send_mail("s", "b", &mail_),
               Corvel::CXMLError);  // no settings file

  write_notice_config(mailconf("true", system_on(), {"a@x"}));
  fs::remove_all(tree_.file("var/lock"));  // lock file cannot be created
  try {
    notifier_.send_mail("s", "b", &mail_);
    FAIL() << "no error raised";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Can't open");
  }
  EXPECT_FALSE(fs::exists(paths_.mailsend_script + ".requests"));
}

// ---------------------------------------------------------------------------
// The stand-in scripts of the example tree, run against a copy of it.

class StandInScriptsTest : public NoticeTreeTest {
 protected:
  void SetUp() override {
    NoticeTreeTest::SetUp();
    fs::copy(
        QUILLO_EXAMPLE_TREE, tree_.path(),
        fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  }

  std::string log(const std::string& name) const {
    return tree_.read("var/log/quillo-notices/" + name + ".log");
  }
};

TEST_F(StandInScriptsTest, EventlogAndBuzzerAnswerZeroAndRecord) {
  EXPECT_NO_THROW(send_notice_request(
      paths_.eventlog_script,
      make_eventlog_entry("71000010",
                          {{"mail_address", "a@x"}, {"name", "w<1>"}})));
  EXPECT_NO_THROW(
      send_notice_request(paths_.buzzer_script, make_buzzer_entry(1)));
  EXPECT_THAT(log("eventlog"),
              HasSubstr("code=71000010 mail_address=a@x name=w<1>\n"));
  EXPECT_THAT(log("buzzer"), HasSubstr("melody=error\n"));
}

TEST_F(StandInScriptsTest, MailScriptRecordsSubjectAddressesAndBody) {
  ASSERT_EQ(notifier_.send_mail("\xe3\x82\xaf & <x>", "first for %s\nrow 1\n",
                                &mail_),
            0);
  EXPECT_THAT(mail_.sent,
              ElementsAre("admin@example.com", "operator@example.com"));
  EXPECT_THAT(mail_.failed, IsEmpty());
  const std::string text = log("mail");
  EXPECT_THAT(text, HasSubstr("To: admin@example.com, operator@example.com\n"));
  EXPECT_THAT(text, HasSubstr("Subject: \xe3\x82\xaf & <x>\n"));
  EXPECT_THAT(text, HasSubstr("first for admin@example.com\nrow 1\n"));
}

}  // namespace
