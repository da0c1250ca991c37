#include "notice/notice.h"

#include <algorithm>
#include <atomic>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include <glibmm/ustring.h>
#include <libxml++/exceptions/exception.h>

#include "support/exec/command.h"
#include "support/xml/dom.h"
#include "support/xml/xml_data.h"

using quillo::CmdExecError;
using quillo::run_command_input;

namespace {

constexpr char kMailconfPath[] = "mailnotice/mailconflist/mailconf";
constexpr char kSelfPath[] = ".";
constexpr char kEnableAttr[] = "enable";
constexpr char kSystemNotifyPath[] = "notifylist/notify[@name=\"system\"]";
constexpr char kToaddrPath[] = "toaddrlist/toaddr";
constexpr char kEntryPath[] = "entrylist/entry";
constexpr char kResultAttr[] = "result";
constexpr char kResultOk[] = "0";
constexpr char kTrue[] = "true";

std::atomic<int> script_timeout{kScriptTimeoutSeconds};

// An output buffer that keeps the first `limit` bytes written to it and
// drops the rest, noting that it did: a script flooding its standard
// output costs reading time, not memory.
class BoundedText final : public std::streambuf {
 public:
  explicit BoundedText(std::size_t limit) : limit_(limit) {}
  const std::string& text() const { return text_; }
  bool cut() const { return cut_; }

 protected:
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    const std::size_t room = limit_ - text_.size();
    const std::size_t take = std::min(room, static_cast<std::size_t>(n));
    text_.append(s, take);
    if (take < static_cast<std::size_t>(n)) cut_ = true;
    return n;
  }
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return 0;
    const char byte = traits_type::to_char_type(c);
    xsputn(&byte, 1);
    return c;
  }

 private:
  const std::size_t limit_;
  std::string text_;
  bool cut_ = false;
};

// The "result" attribute of the answer's first entrylist/entry. Raises
// Corvel::CXMLError (or libxml++'s exception) when the answer has none.
std::string read_result(const std::string& answer) {
  Corvel::CDOMXmlDocument doc;
  std::istringstream in(answer);
  doc.Load(in);
  // The handles go before `doc`, which frees the nodes they point to.
  const Corvel::CDOMNode root = doc.GetRootNode();
  const Corvel::CDOMElement entry(root.SelectSingleNode(kEntryPath));
  return entry.GetAttributeValue(kResultAttr).raw();
}

// True when the first element `xpath` selects under `context` has the
// attribute "enable" with the value "true"; a missing element or attribute
// counts as not "true".
bool enabled_at(const Corvel::CDOMNode& context, const char* xpath) {
  try {
    const Corvel::CDOMElement elem(context.SelectSingleNode(xpath));
    return elem.GetAttributeValue(kEnableAttr).raw() == kTrue;
  } catch (const Corvel::CXMLError&) {
    return false;
  }
}

// The texts of the toaddr elements under `mailconf`; those without text are
// skipped.
std::vector<std::string> read_addresses(const Corvel::CDOMNode& mailconf) {
  std::vector<Corvel::CDOMNode> nodes;
  try {
    nodes = mailconf.SelectNodes(kToaddrPath);
  } catch (const Corvel::CXMLError&) {
    return {};
  }
  std::vector<std::string> addresses;
  for (const Corvel::CDOMNode& node : nodes) {
    try {
      addresses.push_back(Corvel::CDOMElement(node).GetText().raw());
    } catch (const Corvel::CXMLError&) {
    }
  }
  return addresses;
}

}  // namespace

void set_script_timeout(int seconds) {
  script_timeout = seconds > 0 ? seconds : kScriptTimeoutSeconds;
}

std::string judge_notice_answer(const std::string& script,
                                const std::string& answer) {
  std::string result;
  try {
    result = read_result(answer);
  } catch (const Corvel::CXMLError&) {
    throw CmdExecError(script + ": response invalid!!", true, 0);
  } catch (const xmlpp::exception&) {
    throw CmdExecError(script + ": response invalid!!", true, 0);
  }
  if (result != kResultOk) {
    throw CmdExecError(script + ": result error - " + result, true, 0);
  }
  return answer;
}

std::string send_notice_request(const std::string& script,
                                const std::string& entry, bool* cut) {
  std::istringstream request(make_request(entry));
  BoundedText answer(kMaxAnswerBytes);
  std::ostream out(&answer);
  // An empty (not absent) failure message makes a non-zero exit an error.
  run_command_input(script, std::vector<std::string>{script}, request, &out, "",
                    script_timeout.load());
  if (cut != nullptr) *cut = answer.cut();
  return judge_notice_answer(script, answer.text());
}

std::string Notifier::send_request(const std::string& script,
                                   const std::string& entry) {
  bool cut = false;
  try {
    std::string answer = send_notice_request(script, entry, &cut);
    if (cut) stats_.answers_cut++;
    return answer;
  } catch (...) {
    if (cut) stats_.answers_cut++;
    stats_.script_failures.fetch_add(1, std::memory_order_relaxed);
    throw;
  }
}

void Notifier::send_eventlog(const std::string& code,
                             const std::map<std::string, std::string>& args) {
  try {
    send_request(paths_.eventlog_script, make_eventlog_entry(code, args));
  } catch (...) {
    // Best effort by design: the caller carries on whatever happened here.
  }
}

void Notifier::play_buzzer(int melody) {
  try {
    send_request(paths_.buzzer_script, make_buzzer_entry(melody));
  } catch (...) {
    // As for the event log.
  }
}

std::vector<MailProfile> Notifier::read_mail_profiles() {
  XmlData doc(paths_.settings_lock);
  doc.set_lock_bound(lock_bound_);
  try {
    doc.Load(paths_.settings);
  } catch (const XmlLockError&) {
    stats_.lock_busy++;
    throw;
  }

  std::vector<MailProfile> profiles;
  // Every handle below is gone before `doc` is destroyed.
  const Corvel::CDOMNode root = doc.GetRootNode();
  std::vector<Corvel::CDOMNode> confs;
  try {
    confs = root.SelectNodes(kMailconfPath);
  } catch (const Corvel::CXMLError&) {
    return profiles;
  }
  // Disabled profiles keep their number: it is the position among all.
  int number = 0;
  for (const Corvel::CDOMNode& conf : confs) {
    if (enabled_at(conf, kSelfPath) && enabled_at(conf, kSystemNotifyPath)) {
      profiles.push_back(MailProfile{number, read_addresses(conf)});
    }
    ++number;
  }
  return profiles;
}

int Notifier::send_mail(const std::string& subject, const std::string& body,
                        MailOutcome* outcome) {
  return send_mail_to(read_mail_profiles(), subject, {{body, true}}, outcome);
}

int Notifier::send_mail_to(const std::vector<MailProfile>& profiles,
                           const std::string& subject,
                           const std::vector<MailPart>& body,
                           MailOutcome* outcome) {
  const std::string escaped_subject = xml_escape(subject);
  outcome->sent.clear();
  outcome->failed.clear();
  if (profiles.empty()) return 1;

  for (const MailProfile& profile : profiles) {
    // A profile without addresses still gets its mail, with an empty "%s".
    const std::string first =
        profile.to_addresses.empty()
            ? std::string()
            : xml_escape(xml_safe_text(profile.to_addresses.front()));
    std::string text;
    for (const MailPart& part : body) {
      const std::string escaped = xml_escape(part.text);
      text += part.is_template ? fill_mail_body(escaped, first) : escaped;
    }
    const std::string entry =
        make_mail_entry(profile.profile_number, escaped_subject, text);
    std::vector<std::string>* addresses = &outcome->sent;
    try {
      send_request(paths_.mailsend_script, entry);
    } catch (...) {
      // Whatever went wrong, this profile failed and the next one is tried.
      addresses = &outcome->failed;
    }
    addresses->insert(addresses->end(), profile.to_addresses.begin(),
                      profile.to_addresses.end());
  }
  return 0;
}
