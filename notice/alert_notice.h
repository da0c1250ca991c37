// The notices of one alert batch: what the appliance is told when accesses
// met an alert condition, and in which order.
//
// For a batch of rows of condition `name`, handle_alert() raises, through a
// Notifier:
//   1. the event-log entry kAlertEventCode with the name and the row count,
//   2. the "error" melody on the buzzer,
//   3. one mail through every mail profile: alert_mail_subject() and
//      alert_mail_body(), the rows listed,
//   4. one event-log entry per address, kAlertMailSentCode for those whose
//      profile went out and kAlertMailFailedCode for the others.
// The texts are fixed here, byte for byte as the appliance's operators know
// them. Called on the alert thread only (the Notifier's rule).

#ifndef QUILLO_NOTICE_ALERT_NOTICE_H_
#define QUILLO_NOTICE_ALERT_NOTICE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "notice/notice.h"

namespace quillo {

// Event-log codes of the alert notices.
inline constexpr char kAlertEventCode[] = "71100010";       // a batch
inline constexpr char kAlertMailSentCode[] = "71000010";    // per address
inline constexpr char kAlertMailFailedCode[] = "71090010";  // per address

// What one batch's notices came to.
struct BatchOutcome {
  // The notices could not go out now (the notice settings' lock was not
  // had): nothing was sent, and the rows are to be tried again later.
  bool kept = false;
  MailOutcome mail;
};

// What a batch of a threshold condition adds to its mail: whose accesses,
// and how many. The body names them as "user bob: 200 accesses in 60 s".
struct BatchSummary {
  std::string per;  // "user", "ip", "host", "share" or "all"
  std::string key;  // the value counted by; empty for "all"
  std::uint64_t total = 0;  // rows counted, listed or not
  int seconds = 0;
  // The rows of the hold after a firing rather than the firing itself.
  bool follow_up = false;
};

// The summary's line, without its line end: "user bob: 200 accesses in
// 60 s", "all: ...", "... 340 more accesses in the 60 s after the alert";
// " (1024 listed)" follows when fewer rows than counted are listed.
std::string batch_summary_line(const BatchSummary& summary,
                               std::size_t listed);

// Raises the notices above for one batch of condition `name`. The notice
// settings are read first: when their lock is not had, nothing is sent and
// the outcome says the batch is kept. When they cannot be read otherwise,
// the event-log entry and the melody still go out, but no mail. Every other
// failure is dropped; never raises.
// With `summary`, the mail body names its key and count.
BatchOutcome handle_alert(Notifier& notifier, const std::string& name,
                          const std::vector<std::string>& batch,
                          const BatchSummary* summary = nullptr);

// The mail subject and body of a batch. The condition name and the rows
// are made safe for XML (xml_safe_text) and inserted as they stand; only
// the fixed text is template.
std::string alert_mail_subject(const std::string& name);
std::vector<MailPart> alert_mail_body(const std::string& name,
                                      const std::vector<std::string>& batch,
                                      const BatchSummary* summary = nullptr);

}  // namespace quillo

#endif  // QUILLO_NOTICE_ALERT_NOTICE_H_
