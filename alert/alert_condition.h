// One alert condition: which accesses to the file shares are to be reported.
//
// A condition names users, a host and IP address pattern, the operations, the
// result word, a share and path pattern, and a weekly time window. The
// conditions are the "alertlist/alert" elements of the configuration
// document, read by read_alert_conditions() through the document's generic
// readers; alert/ is the only module that knows their layout.
//
//   for (const AlertCondition& c : read_alert_conditions(config)) {
//     if (c.matches(now, user, host, ip, "open_read", "ok", share, path)) ...
//   }

#ifndef QUILLO_ALERT_ALERT_CONDITION_H_
#define QUILLO_ALERT_ALERT_CONDITION_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "alert/rate_rule.h"

namespace Corvel {
class CDOMNode;
}  // namespace Corvel

namespace quillo {

class ConfigXml;

// Bits of PatternField::flags and UserField::flags.
namespace MatchFlag {
inline constexpr std::uint32_t All = 1;  // the "all" attribute: any user
inline constexpr std::uint32_t Not = 2;  // the "not" attribute: invert
}  // namespace MatchFlag

// A text condition on one column. An empty pattern accepts every value;
// otherwise the value must match it (wildcard_match), or must not when
// MatchFlag::Not is set.
struct PatternField {
  std::uint32_t flags = 0;
  std::string pattern;

  bool accepts(const std::string& value) const;
  bool operator==(const PatternField& other) const {
    return flags == other.flags && pattern == other.pattern;
  }
};

// The user-name condition. With MatchFlag::All every user is accepted (none
// when MatchFlag::Not is set as well); otherwise a user is accepted when some
// name, lower-cased, equals the user column, inverted by MatchFlag::Not.
struct UserField {
  std::uint32_t flags = 0;
  std::vector<std::string> names;

  // `user` is the user column, already lower case.
  bool accepts(const std::string& user) const;
  bool operator==(const UserField& other) const {
    return flags == other.flags && names == other.names;
  }
};

// A value type: copyable, owns only its strings and containers. Main
// thread only.
class AlertCondition {
 public:
  // A condition that matches nothing: no weekday, no operation, window
  // 00:00 to 00:00.
  AlertCondition() = default;

  // True when an access handled at `now` (seconds since the epoch, judged in
  // the process's local time zone) with these column values meets every part
  // of the condition. `user` is the lower-cased user column, `operation` the
  // operation column with its "_read"/"_write" suffix, `result` "ok" or
  // "fail", `path` the path column.
  bool matches(std::int64_t now, const std::string& user,
               const std::string& host, const std::string& ip,
               const std::string& operation, const std::string& result,
               const std::string& share, const std::string& path) const;

  // Same name and every field the same: the condition an administrator left
  // as it was across a reload.
  bool operator==(const AlertCondition& other) const;
  bool operator!=(const AlertCondition& other) const {
    return !(*this == other);
  }

  std::string name;
  bool period_not = false;
  std::uint32_t weekdays = 0;  // bit n: weekday n, 0 = Sunday .. 6 = Saturday
  std::int32_t from_hour = 0;
  std::int32_t from_minute = 0;
  std::int32_t to_hour = 0;  // 24 stands for the end of the day
  std::int32_t to_minute = 0;
  UserField user_cond;
  PatternField host_cond;
  PatternField ip_cond;
  PatternField result_cond;
  PatternField share_cond;
  PatternField path_cond;
  std::map<std::string, bool> operations;  // operation column -> enabled
  // Threshold, rename test and response; all off for a one-row condition.
  RateRule rate;

 private:
  bool in_period(std::int64_t now) const;
};

// Reads a condition from an "alert" element of `config`'s document. Parts
// that are missing keep their empty values (the condition then matches
// less, or nothing). Raises Corvel::CXMLError only when the "name" element
// is missing or has no text.
AlertCondition read_alert_condition(const ConfigXml& config,
                                    const Corvel::CDOMNode& element);

// The conditions of "alertlist/alert" in document order; conditions
// without a name are left out, and a document without root gives none.
// Never raises for what the document holds.
std::vector<AlertCondition> read_alert_conditions(const ConfigXml& config);

}  // namespace quillo

#endif  // QUILLO_ALERT_ALERT_CONDITION_H_
