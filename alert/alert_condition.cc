#include "alert/alert_condition.h"

#include <time.h>

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include <glibmm/ustring.h>

#include "base/ascii.h"
#include "base/console.h"
#include "base/local_fields.h"
#include "config/config_xml.h"
#include "config/wildcard.h"
#include "support/xml/dom.h"

namespace quillo {
namespace {

// Weekday attribute names of "period/weekdays" and their numbers, Sunday
// 0 to Saturday 6 as in struct tm.
constexpr const char* kWeekdays[] = {"sun", "mon", "tue", "wed",
                                     "thu", "fri", "sat"};

// Equal after lower-casing the ASCII letters of `name` only; the user column
// is lower case already.
bool EqualsLowered(const std::string& name, const std::string& user) {
  if (name.size() != user.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (base::ascii_lower(name[i]) != user[i]) return false;
  }
  return true;
}

// Text of the element that `xpath` selects below `context`. Raises
// Corvel::CXMLError when there is no such element or it holds no text.
std::string ElementText(const Corvel::CDOMNode& context, const char* xpath) {
  return Corvel::CDOMElement(context.SelectSingleNode(xpath)).GetText().raw();
}

int ReadNumber(const ConfigXml& config, const Corvel::CDOMNode& element,
               const char* xpath) {
  return ConfigXml::to_int(config.get_text(element, xpath, "0"));
}

// Reads the text of `xpath` into `field`, and its "not" attribute when
// `with_not`. Without a text the field stays empty, whatever the attribute
// says, so that it accepts every value.
void ReadPattern(const ConfigXml& config, const Corvel::CDOMNode& element,
                 const char* xpath, bool with_not, PatternField& field) {
  try {
    std::string text = ElementText(element, xpath);
    if (with_not && config.get_bool(element, xpath, "not")) {
      field.flags |= MatchFlag::Not;
    }
    field.pattern = std::move(text);
  } catch (const Corvel::CXMLError&) {
  }
}

void ReadPeriod(const ConfigXml& config, const Corvel::CDOMNode& element,
                AlertCondition& c) {
  c.to_hour = ReadNumber(config, element, "period/to/hour");
  c.to_minute = ReadNumber(config, element, "period/to/minute");
  c.from_hour = ReadNumber(config, element, "period/from/hour");
  c.from_minute = ReadNumber(config, element, "period/from/minute");
  c.period_not = config.get_bool(element, "period", "not");
  // An end of 00:00 (or none) means the end of the day.
  if (c.to_hour == 0 && c.to_minute == 0) c.to_hour = 24;

  Corvel::CDOMNode days;
  try {
    days = element.SelectSingleNode("period/weekdays");
  } catch (const Corvel::CXMLError&) {
    return;  // no weekday selected
  }
  for (std::uint32_t day = 0; day < std::size(kWeekdays); ++day) {
    if (config.get_bool(days, ".", kWeekdays[day])) {
      c.weekdays |= std::uint32_t{1} << day;
    }
  }
}

void ReadUsers(const ConfigXml& config, const Corvel::CDOMNode& element,
               UserField& users) {
  std::vector<std::string> list;
  for (const Glib::ustring& text :
       config.get_texts(element, "usernamelist/username")) {
    list.push_back(text.raw());
  }
  if (config.get_bool(element, "usernamelist", "all")) {
    users.flags |= MatchFlag::All;
  }
  if (config.get_bool(element, "usernamelist", "not")) {
    users.flags |= MatchFlag::Not;
  }
  users.names = std::move(list);
}

void ReadOperations(const ConfigXml& config, const Corvel::CDOMNode& element,
                    std::map<std::string, bool>& operations) {
  // A later element with the same type overwrites an earlier one; an element
  // without a type ends the list, keeping what came before it.
  try {
    for (Corvel::CDOMNode& node :
         config.get_nodes(element, "operationlist/operation")) {
      const bool enabled = config.get_bool(node, ".", "enable");
      Corvel::CDOMElement op(node);
      operations[op.GetAttributeValue("type").raw()] = enabled;
    }
  } catch (const Corvel::CXMLError&) {
  }
}

}  // namespace

bool PatternField::accepts(const std::string& value) const {
  if (pattern.empty()) return true;
  const bool inverted = (flags & MatchFlag::Not) != 0;
  return wildcard_match(value, pattern) != inverted;
}

bool UserField::accepts(const std::string& user) const {
  const bool inverted = (flags & MatchFlag::Not) != 0;
  if ((flags & MatchFlag::All) != 0) return !inverted;
  bool found = false;
  for (const std::string& name : names) {
    if (EqualsLowered(name, user)) {
      found = true;
      break;
    }
  }
  return found != inverted;
}

bool AlertCondition::in_period(std::int64_t now) const {
  struct tm local;
  // A time the C library cannot break down lies in no window.
  const bool known = base::local_fields(now, &local);
  bool inside = false;
  if (known && (weekdays & (std::uint32_t{1} << local.tm_wday)) != 0) {
    // 64-bit arithmetic: hours and minutes are taken from the document
    // without a range check.
    const std::int64_t t = std::int64_t{local.tm_hour} * 60 + local.tm_min;
    const std::int64_t from = std::int64_t{from_hour} * 60 + from_minute;
    const std::int64_t to = std::int64_t{to_hour} * 60 + to_minute;
    inside = from <= t && t <= to;
  }
  return inside;
}

bool AlertCondition::matches(std::int64_t now, const std::string& user,
                             const std::string& host, const std::string& ip,
                             const std::string& operation,
                             const std::string& result,
                             const std::string& share,
                             const std::string& path) const {
  if (in_period(now) == period_not) return false;
  if (!user_cond.accepts(user)) return false;
  if (!host_cond.accepts(host)) return false;
  if (!ip_cond.accepts(ip)) return false;
  const auto op = operations.find(operation);
  if (op == operations.end() || !op->second) return false;
  // A rename that changes the extension, as ransomware leaves its files.
  if (rate.extchange &&
      (operation != "rename" || !extension_changed(path))) {
    return false;
  }
  return result_cond.accepts(result) && share_cond.accepts(share) &&
         path_cond.accepts(path);
}

bool AlertCondition::operator==(const AlertCondition& o) const {
  return name == o.name && period_not == o.period_not &&
         weekdays == o.weekdays && from_hour == o.from_hour &&
         from_minute == o.from_minute && to_hour == o.to_hour &&
         to_minute == o.to_minute && user_cond == o.user_cond &&
         host_cond == o.host_cond && ip_cond == o.ip_cond &&
         result_cond == o.result_cond && share_cond == o.share_cond &&
         path_cond == o.path_cond && operations == o.operations &&
         rate == o.rate;
}

AlertCondition read_alert_condition(const ConfigXml& config,
                                    const Corvel::CDOMNode& element) {
  AlertCondition c;
  // The name identifies the condition in the pending table, the mail and the
  // event log, so a condition without one is refused as a whole.
  c.name = ElementText(element, "name");
  if (c.name.empty()) {
    throw Corvel::CXMLError("AlertInfo: ERROR: empty name.\n");
  }
  ReadPeriod(config, element, c);
  ReadUsers(config, element, c.user_cond);
  ReadPattern(config, element, "hostname", true, c.host_cond);
  ReadPattern(config, element, "ipaddr", true, c.ip_cond);
  ReadPattern(config, element, "result", false, c.result_cond);
  ReadPattern(config, element, "sharename", false, c.share_cond);
  ReadPattern(config, element, "path", false, c.path_cond);
  ReadOperations(config, element, c.operations);
  c.rate = read_rate_rule(config, element);
  return c;
}

std::vector<AlertCondition> read_alert_conditions(const ConfigXml& config) {
  std::vector<AlertCondition> conditions;
  Corvel::CDOMNode root;
  try {
    root = config.GetRootNode();
  } catch (const Corvel::CXMLError&) {
    return conditions;  // no document: no conditions
  }
  for (const Corvel::CDOMNode& element :
       config.get_nodes(root, "alertlist/alert")) {
    try {
      AlertCondition condition = read_alert_condition(config, element);
      if (!condition.rate.error.empty()) {
        // Once per load: the engine reads the conditions once per document.
        base::complain("Error: alert " + condition.name + ": " +
                       condition.rate.error + "; the condition is left out.\n");
        continue;
      }
      conditions.push_back(std::move(condition));
    } catch (const Corvel::CXMLError&) {
      // A condition without a name is left out.
    }
  }
  return conditions;
}

}  // namespace quillo
