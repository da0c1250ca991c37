#include "config/alert_info.h"

#include <time.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <glibmm/ustring.h>

#include "base/ascii.h"
#include "config/config_xml.h"
#include "config/wildcard.h"
#include "support/xml/dom.h"

namespace {

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

int ReadNumber(ConfigXml& config, const Corvel::CDOMNode& element,
               const char* xpath) {
  return ConfigXml::to_int(config.get_text(element, xpath, "0"));
}

// Reads the text of `xpath` into `field`, and its "not" attribute when
// `with_not`. Without a text the field stays empty, whatever the attribute
// says, so that it accepts every value.
void ReadPattern(ConfigXml& config, const Corvel::CDOMNode& element,
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

AlertInfo::AlertInfo(ConfigXml& config, const Corvel::CDOMNode& element) {
  // The name identifies the condition in the pending table, the mail and the
  // event log, so a condition without one is refused as a whole.
  name = ElementText(element, "name");
  if (name.empty()) {
    throw Corvel::CXMLError("AlertInfo: ERROR: empty name.\n");
  }
  read_period(config, element);
  read_users(config, element);
  ReadPattern(config, element, "hostname", true, host_cond);
  ReadPattern(config, element, "ipaddr", true, ip_cond);
  ReadPattern(config, element, "result", false, result_cond);
  ReadPattern(config, element, "sharename", false, share_cond);
  ReadPattern(config, element, "path", false, path_cond);
  read_operations(config, element);
}

void AlertInfo::read_period(ConfigXml& config,
                            const Corvel::CDOMNode& element) {
  to_hour = ReadNumber(config, element, "period/to/hour");
  to_minute = ReadNumber(config, element, "period/to/minute");
  from_hour = ReadNumber(config, element, "period/from/hour");
  from_minute = ReadNumber(config, element, "period/from/minute");
  period_not = config.get_bool(element, "period", "not");
  // An end of 00:00 (or none) means the end of the day.
  if (to_hour == 0 && to_minute == 0) to_hour = 24;

  Corvel::CDOMNode days;
  try {
    days = element.SelectSingleNode("period/weekdays");
  } catch (const Corvel::CXMLError&) {
    return;  // no weekday selected
  }
  for (const auto& day : config.weekday_numbers) {
    if (config.get_bool(days, ".", day.first)) {
      weekdays |= std::uint32_t{1} << day.second;
    }
  }
}

void AlertInfo::read_users(ConfigXml& config, const Corvel::CDOMNode& element) {
  std::vector<std::string> list;
  for (const Glib::ustring& text :
       config.get_texts(element, "usernamelist/username")) {
    list.push_back(text.raw());
  }
  if (config.get_bool(element, "usernamelist", "all")) {
    user_cond.flags |= MatchFlag::All;
  }
  if (config.get_bool(element, "usernamelist", "not")) {
    user_cond.flags |= MatchFlag::Not;
  }
  user_cond.names = std::move(list);
}

void AlertInfo::read_operations(ConfigXml& config,
                                const Corvel::CDOMNode& element) {
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

bool AlertInfo::in_period(std::int64_t now) const {
  const time_t when = static_cast<time_t>(now);
  struct tm local;
  // A time the C library cannot break down lies in no window.
  const bool known = localtime_r(&when, &local) != nullptr;
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

bool AlertInfo::matches(std::int64_t now, const std::string& user,
                        const std::string& host, const std::string& ip,
                        const std::string& operation, const std::string& result,
                        const std::string& share,
                        const std::string& path) const {
  if (in_period(now) == period_not) return false;
  if (!user_cond.accepts(user)) return false;
  if (!host_cond.accepts(host)) return false;
  if (!ip_cond.accepts(ip)) return false;
  const auto op = operations.find(operation);
  if (op == operations.end() || !op->second) return false;
  return result_cond.accepts(result) && share_cond.accepts(share) &&
         path_cond.accepts(path);
}
