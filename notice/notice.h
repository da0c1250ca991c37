// Notices raised through the appliance's notification scripts.
//
// Each notice is one request: a one-line XML document written to the
// standard input of a script (event log, buzzer or mail), whose standard
// output is an XML answer such as
//   <response><entrylist><entry result="0"/></entrylist></response>
// Only the first entrylist/entry and its "result" attribute are judged.
//
// Every function here blocks the calling thread until its script has ended
// (or has been killed after kScriptTimeoutSeconds). None of them keeps state
// between calls, so any one thread at a time may use them; the daemon calls
// them from the alert thread only.

#ifndef QUILLO_NOTICE_NOTICE_H_
#define QUILLO_NOTICE_NOTICE_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace quillo {

// How long a notification script may run before it is killed and its
// request counts as failed.
inline constexpr int kScriptTimeoutSeconds = 300;

// Replaces the bound above for every later request; 0 or less restores it.
// Tests shorten it; the daemon takes it from QUILLO_SCRIPT_TIMEOUT at
// start-up. Call it while no request is running.
void set_script_timeout(int seconds);

// Copies `text`, replacing "&", "<" and ">" by "&amp;", "&lt;" and "&gt;".
// Quotes, control characters and non-ASCII bytes are copied unchanged.
std::string xml_escape(const std::string& text);

// Makes any bytes fit an XML 1.0 document, for values that come from a
// record or a setting (never for template text, whose line ends stay):
// control bytes below 0x20 other than tab become "#" and three octal
// digits (0x01 gives "#001", LF "#012", as in the CSV files), and bytes
// that are not valid UTF-8, and the characters U+FFFE and U+FFFF, become
// U+FFFD. Valid UTF-8 text without control bytes is returned unchanged.
std::string xml_safe_text(const std::string& text);

// Most of a script's answer that is kept; the rest is read and dropped.
inline constexpr std::size_t kMaxAnswerBytes = std::size_t{1} << 20;

// Request documents, byte for byte as the scripts expect them.
//
// The whole request around one entry: one line, no XML declaration, no
// trailing newline.
std::string make_request(const std::string& entry);

// The event-log entry carries `code` unescaped and one <arg> per table
// entry in ascending name order, names unescaped, values escaped; an empty
// table gives no <arglist> element at all.
std::string make_eventlog_entry(const std::string& code,
                                const std::map<std::string, std::string>& args);

// The buzzer entry for melody 0 ("ok") or 1 ("error"). Raises
// std::invalid_argument for any other number.
std::string make_buzzer_entry(int melody);

// The mail entry for one profile. `subject` and `body` are put in as given:
// the caller escapes them.
std::string make_mail_entry(int profile_number, const std::string& subject,
                            const std::string& body);

// Fills a mail body for one profile: every "%s" becomes `address`, "%%"
// becomes "%", and every other byte (other "%" sequences included) is
// copied unchanged. The body is never handed to printf.
std::string fill_mail_body(const std::string& body, const std::string& address);

// One piece of a mail body: fixed template text, in which "%s" and "%%" are
// filled per address, or a value (a row, a name), sent as it stands.
struct MailPart {
  std::string text;
  bool is_template = false;
};

// Wraps `entry` in a request document, runs `script` with the request on its
// standard input and returns the script's answer: its first kMaxAnswerBytes
// bytes (*cut, when given, tells whether more came and was dropped).
//
// Raises CmdExecError:
//  - as the command runner raises it when the script cannot be run, exits
//    with a status other than 0 (what() is "<script>  - <status>") or has
//    not ended within the time bound ("<script> timeout");
//  - "<script>: response invalid!!" when the answer is empty, not XML or
//    lacks entrylist/entry with a "result" attribute;
//  - "<script>: result error - <value>" when that result is not "0".
// Judges the answer `script` gave: returns it when its first
// entrylist/entry has "result" "0"; otherwise raises CmdExecError
// "<script>: response invalid!!" or "<script>: result error - <value>".
std::string judge_notice_answer(const std::string& script,
                                const std::string& answer);

std::string send_notice_request(const std::string& script,
                                const std::string& entry, bool* cut = nullptr);

// One mail profile of the notice settings that is enabled for system
// notices.
struct MailProfile {
  // Position of its mailconf element among all of them, enabled or not,
  // counted from 0 in document order.
  int profile_number = 0;
  // Texts of its toaddr elements in document order; empty ones skipped.
  std::vector<std::string> to_addresses;
};

// The outcome of one mail, per address.
struct MailOutcome {
  std::vector<std::string> sent;    // addresses of profiles that went out
  std::vector<std::string> failed;  // addresses of profiles that failed
};

// Where the notices go.
struct NoticePaths {
  std::string eventlog_script;
  std::string buzzer_script;
  std::string mailsend_script;
  std::string settings;       // the notice settings document
  std::string settings_lock;  // the lock file guarding it
};

// What the notices have done, for the daemon's counters. Lock-free: the
// daemon's signal handler reads them.
struct NoticeStats {
  std::atomic<std::uint64_t> script_failures{0};  // requests that failed
  std::atomic<std::uint64_t> lock_busy{0};    // settings lock not had in time
  std::atomic<std::uint64_t> answers_cut{0};  // answers past kMaxAnswerBytes
};

// Raises notices through the scripts of `paths`, counting what failed.
// Holds no state between calls but its counts; one thread at a time (the
// daemon's alert thread). The counts may be read from any thread.
class Notifier {
 public:
  static constexpr std::chrono::milliseconds kLockBound{10000};

  // `lock_bound` bounds the wait for the settings lock (tests shorten it).
  explicit Notifier(NoticePaths paths,
                    std::chrono::milliseconds lock_bound = kLockBound)
      : paths_(std::move(paths)), lock_bound_(lock_bound) {}
  Notifier(const Notifier&) = delete;
  Notifier& operator=(const Notifier&) = delete;

  // send_notice_request(), counting a failure before passing it on.
  std::string send_request(const std::string& script, const std::string& entry);

  // Adds an entry to the appliance event log. Every failure is dropped.
  void send_eventlog(const std::string& code,
                     const std::map<std::string, std::string>& args);

  // Plays melody 0 ("ok") or 1 ("error") on the buzzer. Every failure, an
  // unknown melody number included, is dropped.
  void play_buzzer(int melody);

  // Reads the notice settings under their shared lock and returns the
  // profiles to send system notices through, in document order. The lock
  // is tried about every 100 ms for at most kLockBound, so that no local
  // process holding it can stop the notices for good. The errors of the
  // locked load pass on: XmlLockError "Can't open" / "Can't Lock" (the
  // latter counted in lock_busy), or the Corvel::CXMLError of the parse or
  // of a missing root element.
  std::vector<MailProfile> read_mail_profiles();

  // Sends `subject` and `body` (plain text; escaped here) through every
  // profile, filling `outcome` afresh. Returns 1 when there is no profile to
  // use (both lists empty), otherwise 0 after trying every profile; a
  // failing profile lands in `failed` and does not stop the others. The
  // errors of read_mail_profiles() pass out before any mail is tried.
  int send_mail(const std::string& subject, const std::string& body,
                MailOutcome* outcome);

  // The same through `profiles` (from read_mail_profiles()), with a body of
  // template pieces and values.
  int send_mail_to(const std::vector<MailProfile>& profiles,
                   const std::string& subject,
                   const std::vector<MailPart>& body, MailOutcome* outcome);

  const NoticePaths& paths() const { return paths_; }
  const NoticeStats& stats() const { return stats_; }

 private:
  const NoticePaths paths_;
  const std::chrono::milliseconds lock_bound_;
  NoticeStats stats_;
};

}  // namespace quillo

#endif  // QUILLO_NOTICE_NOTICE_H_
