#include "notice/alert_notice.h"

#include <map>
#include <string>
#include <vector>

#include "base/console.h"
#include "support/xml/xml_data.h"

namespace quillo {
namespace {

// The melody of an alert: 1, "error".
constexpr int kAlertMelody = 1;

// One event-log entry `code` per address, naming the condition.
void log_mail_results(Notifier& notifier, const std::string& name,
                      const char* code,
                      const std::vector<std::string>& addresses) {
  for (const std::string& address : addresses) {
    notifier.send_eventlog(code, {{"mail_address", address}, {"name", name}});
  }
}

}  // namespace

std::string alert_mail_subject(const std::string& name) {
  return "クイロ アラート - 条件名:" + xml_safe_text(name);
}

std::string batch_summary_line(const BatchSummary& summary,
                               std::size_t listed) {
  std::string line = summary.per;
  if (summary.per != "all") line += " " + summary.key;
  line += ": " + std::to_string(summary.total);
  line += summary.follow_up ? " more accesses in the " : " accesses in ";
  line += std::to_string(summary.seconds) + " s";
  if (summary.follow_up) line += " after the alert";
  if (listed < summary.total) {
    line += " (" + std::to_string(listed) + " listed)";
  }
  return line;
}

std::vector<MailPart> alert_mail_body(const std::string& name,
                                      const std::vector<std::string>& batch,
                                      const BatchSummary* summary) {
  std::string rows;
  for (const std::string& row : batch) rows += xml_safe_text(row) + "\n";
  std::vector<MailPart> body{
      {"アラート条件 ", true},
      {xml_safe_text(name), false},
      {": アクセスを" + std::to_string(batch.size()) + "件検出しました。\n\n",
       true}};
  if (summary != nullptr) {
    // The key is a value from the row: text, like the rows.
    body.push_back(
        {xml_safe_text(batch_summary_line(*summary, batch.size())) + "\n\n",
         false});
  }
  body.push_back({rows, false});
  return body;
}

BatchOutcome handle_alert(Notifier& notifier, const std::string& name,
                          const std::vector<std::string>& batch,
                          const BatchSummary* summary) {
  BatchOutcome outcome;
  // Read before any notice goes out, so that a batch kept for later is not
  // announced twice.
  std::vector<MailProfile> profiles;
  bool readable = true;
  try {
    profiles = notifier.read_mail_profiles();
  } catch (const XmlLockError&) {
    outcome.kept = true;
    return outcome;
  } catch (...) {
    // The notice settings could not be read: no mail for this batch.
    readable = false;
  }
  notifier.send_eventlog(
      kAlertEventCode,
      {{"name", name}, {"number", std::to_string(batch.size())}});
  notifier.play_buzzer(kAlertMelody);
  if (!readable) return outcome;
  try {
    if (notifier.send_mail_to(profiles, alert_mail_subject(name),
                              alert_mail_body(name, batch, summary),
                              &outcome.mail) != 0) {
      base::say("handle_alert: no mail send.");
      return outcome;
    }
  } catch (...) {
    // The mail could not be built: the batch is gone, the thread goes on
    // with the next condition.
    return outcome;
  }
  log_mail_results(notifier, name, kAlertMailSentCode, outcome.mail.sent);
  log_mail_results(notifier, name, kAlertMailFailedCode, outcome.mail.failed);
  return outcome;
}

}  // namespace quillo
