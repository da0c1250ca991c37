// The notices of an alert batch, through stand-in scripts that write every
// request they get into one journal, so that the order across the three
// scripts shows.

#include "notice/alert_notice.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "base/unique_fd.h"
#include "testing/temp_tree.h"

namespace quillo {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr char kOk[] =
    "<response><entrylist><entry result=\"0\"/></entrylist></response>";
constexpr char kFailed[] =
    "<response><entrylist><entry result=\"1\"/></entrylist></response>";

class AlertNoticeTest : public ::testing::Test {
 protected:
  AlertNoticeTest() {
    tree_.dir("bin");
    write_script(paths_.eventlog_script, "eventlog", kOk);
    write_script(paths_.buzzer_script, "buzzer", kOk);
    write_script(paths_.mailsend_script, "mail", kOk);
  }

  // A script that adds "<label> <request>" and a NUL to the journal and
  // answers `answer`.
  void write_script(const std::string& path, const std::string& label,
                    const std::string& answer) const {
    std::ofstream(path) << "#!/bin/sh\nprintf '" << label << " ' >> '"
                        << journal_ << "'\ncat >> '" << journal_
                        << "'\nprintf '\\000' >> '" << journal_
                        << "'\nprintf '%s' '" << answer << "'\n";
    ASSERT_EQ(chmod(path.c_str(), 0755), 0);
  }

  // Notice settings with one profile for system notices to `addresses`.
  void write_settings(const std::vector<std::string>& addresses) const {
    std::string list;
    for (const std::string& a : addresses) list += "<toaddr>" + a + "</toaddr>";
    std::ofstream(paths_.settings)
        << "<config><mailnotice><mailconflist><mailconf enable=\"true\">"
           "<notifylist><notify name=\"system\" enable=\"true\"/>"
           "</notifylist><toaddrlist>"
        << list
        << "</toaddrlist></mailconf></mailconflist></mailnotice>"
           "</config>";
  }

  // The requests in the order the scripts got them, each shortened to its
  // script's label and its entry.
  std::vector<std::string> journal() const {
    std::ifstream in(journal_, std::ios::binary);
    std::vector<std::string> out;
    for (std::string one; std::getline(in, one, '\0');) {
      const std::string open = "<request><entrylist>";
      const std::size_t at = one.find(open);
      if (at != std::string::npos) one.erase(at, open.size());
      const std::size_t close = one.rfind("</entrylist></request>");
      if (close != std::string::npos) one.erase(close);
      out.push_back(one);
    }
    return out;
  }

  quillo_test::TempTree tree_{"alert-notice-test"};
  const std::string journal_ = tree_.file("journal");
  const NoticePaths paths_{tree_.file("bin/eventlog"), tree_.file("bin/buzzer"),
                           tree_.file("bin/mail"), tree_.file("notice.xml"),
                           tree_.file("notice.xml.lock")};
  Notifier notifier_{paths_, std::chrono::milliseconds(300)};
};

constexpr char kBatchEntry[] =
    "eventlog <entry type=\"add\"><eventlog><log><code>71100010</code>"
    "<arglist><arg name=\"name\">w&lt;1&gt;</arg><arg name=\"number\">2</arg>"
    "</arglist></log></eventlog></entry>";
constexpr char kMelody[] =
    "buzzer <entry type=\"play\"><buzzer><melody type=\"error\"/></buzzer>"
    "</entry>";

std::string AddressEntry(const char* code, const std::string& address) {
  return std::string("eventlog <entry type=\"add\"><eventlog><log><code>") +
         code + "</code><arglist><arg name=\"mail_address\">" + address +
         "</arg><arg name=\"name\">w&lt;1&gt;</arg></arglist></log>"
         "</eventlog></entry>";
}

TEST_F(AlertNoticeTest, AnnouncesPlaysMailsThenLogsEachAddress) {
  write_settings({"a@x", "b@x"});
  const BatchOutcome outcome =
      handle_alert(notifier_, "w<1>", {"row,1", "row,2"});
  EXPECT_FALSE(outcome.kept);
  EXPECT_THAT(outcome.mail.sent, ElementsAre("a@x", "b@x"));
  const std::vector<std::string> got = journal();
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got[0], kBatchEntry);
  EXPECT_EQ(got[1], kMelody);
  EXPECT_THAT(got[2], HasSubstr("mail <entry type=\"send\"><mailsend>"
                                "<mailconf profilenum=\"0\"/>"));
  EXPECT_THAT(got[2], HasSubstr("row,1\nrow,2\n</body>"));
  EXPECT_EQ(got[3], AddressEntry(kAlertMailSentCode, "a@x"));
  EXPECT_EQ(got[4], AddressEntry(kAlertMailSentCode, "b@x"));
}

TEST_F(AlertNoticeTest, FailedMailIsLoggedPerAddressWithItsOwnCode) {
  write_settings({"a@x"});
  write_script(paths_.mailsend_script, "mail", kFailed);
  const BatchOutcome outcome = handle_alert(notifier_, "w<1>", {"r", "s"});
  EXPECT_THAT(outcome.mail.failed, ElementsAre("a@x"));
  const std::vector<std::string> got = journal();
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[3], AddressEntry(kAlertMailFailedCode, "a@x"));
}

TEST_F(AlertNoticeTest, HeldSettingsLockKeepsTheBatchAndSendsNothing) {
  write_settings({"a@x"});
  base::UniqueFd lock(
      open(paths_.settings_lock.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644));
  ASSERT_TRUE(lock);
  ASSERT_EQ(flock(lock.get(), LOCK_EX), 0);
  const BatchOutcome outcome = handle_alert(notifier_, "w<1>", {"r"});
  EXPECT_TRUE(outcome.kept);
  EXPECT_THAT(journal(), IsEmpty());
}

TEST_F(AlertNoticeTest, UnreadableSettingsStillAnnounceButMailNothing) {
  // No settings file.
  const BatchOutcome outcome = handle_alert(notifier_, "w<1>", {"r", "s"});
  EXPECT_FALSE(outcome.kept);
  EXPECT_THAT(journal(), ElementsAre(kBatchEntry, kMelody));
}

std::string Joined(const std::vector<MailPart>& parts) {
  std::string text;
  for (const MailPart& part : parts) text += part.text;
  return text;
}

TEST(AlertMailTest, SubjectAndBody) {
  EXPECT_EQ(alert_mail_subject("watch1"),
            "\xE3\x82\xAF\xE3\x82\xA4\xE3\x83\xAD \xE3\x82\xA2\xE3\x83\xA9"
            "\xE3\x83\xBC\xE3\x83\x88 - \xE6\x9D\xA1\xE4\xBB\xB6\xE5\x90\x8D:"
            "watch1");
  EXPECT_EQ(
      Joined(alert_mail_body("watch1", {"r1", "r2", "r3"})),
      "\xE3\x82\xA2\xE3\x83\xA9\xE3\x83\xBC\xE3\x83\x88\xE6\x9D\xA1"
      "\xE4\xBB\xB6 watch1: \xE3\x82\xA2\xE3\x82\xAF\xE3\x82\xBB\xE3\x82"
      "\xB9\xE3\x82\x92"
      "3\xE4\xBB\xB6\xE6\xA4\x9C\xE5\x87\xBA\xE3\x81"
      "\x97\xE3\x81\xBE\xE3\x81\x97\xE3\x81\x9F\xE3\x80\x82\n\nr1\nr2\nr3\n");
}

TEST(AlertMailTest, OnlyTheFixedTextIsTemplate) {
  const std::vector<MailPart> parts = alert_mail_body("n%s", {"5%%\x01"});
  ASSERT_EQ(parts.size(), 4u);
  EXPECT_TRUE(parts[0].is_template);
  EXPECT_FALSE(parts[1].is_template);
  EXPECT_EQ(parts[1].text, "n%s");
  EXPECT_TRUE(parts[2].is_template);
  EXPECT_FALSE(parts[3].is_template);
  EXPECT_EQ(parts[3].text, "5%%#001\n");  // made safe for XML
}

}  // namespace
}  // namespace quillo
