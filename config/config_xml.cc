#include "config/config_xml.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <locale>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <glibmm/ustring.h>

#include "support/xml/dom.h"
#include "support/xml/xml_data.h"

namespace quillo {
namespace {

// The last generation handed out, for all ConfigXml objects: the daemon
// replaces its object on a reload, and the new one must not repeat a
// number the old one had.
std::atomic<std::uint64_t> last_generation{0};

const char* AutoDeletePath(int kind) {
  switch (kind) {
    case ConfigXml::kSystemLog:
      return "eventlogconf/autodelete";
    case ConfigXml::kAccessLog:
      return "accesslogconf/autodelete";
    default:
      return nullptr;
  }
}

// Text of the element `xpath` selects below `context`; raises
// Corvel::CXMLError when it is missing or empty.
Glib::ustring RequiredText(const Corvel::CDOMNode& context,
                           const Glib::ustring& xpath) {
  return Corvel::CDOMElement(context.SelectSingleNode(xpath)).GetText();
}

}  // namespace

ConfigXml::ConfigXml(std::string path)
    : XmlData(""),
      path_(std::move(path)),
      paths_{{kLogRootPath, "share/path"}} {}

ConfigXml::~ConfigXml() = default;

void ConfigXml::load() {
  generation_ = ++last_generation;
  clear_memos();
  XmlData::Load(path_);
}

void ConfigXml::clear_memos() {
  log_root_ = {};
  autodelete_[0] = {};
  autodelete_[1] = {};
  switches_ = {};
}

template <typename T, typename Read>
const T& ConfigXml::remember(Memo<T>& memo, Read read) {
  if (!memo.ready) {
    try {
      memo.value = read();
    } catch (const Corvel::CXMLError& e) {
      memo.failed = true;
      memo.error = e.what();
    }
    memo.ready = true;
  }
  if (memo.failed) throw Corvel::CXMLError(memo.error);
  return memo.value;
}

bool ConfigXml::get_bool(const Corvel::CDOMNode& context,
                         const Glib::ustring& xpath,
                         const Glib::ustring& attr) const {
  try {
    return Corvel::CDOMElement(context.SelectSingleNode(xpath))
               .GetAttributeValue(attr) == "true";
  } catch (const std::exception&) {
    // Whatever went wrong, a setting that cannot be read is off.
    return false;
  }
}

Glib::ustring ConfigXml::get_text(const Corvel::CDOMNode& context,
                                  const Glib::ustring& xpath,
                                  const Glib::ustring& default_text) const {
  try {
    return RequiredText(context, xpath);
  } catch (const std::exception&) {
    return default_text;
  }
}

std::vector<Corvel::CDOMNode> ConfigXml::get_nodes(
    const Corvel::CDOMNode& context, const Glib::ustring& xpath) const {
  try {
    return context.SelectNodes(xpath);
  } catch (const std::exception&) {
    return {};
  }
}

std::vector<Glib::ustring> ConfigXml::get_texts(
    const Corvel::CDOMNode& context, const Glib::ustring& xpath) const {
  std::vector<Glib::ustring> texts;
  for (const Corvel::CDOMNode& node : get_nodes(context, xpath)) {
    try {
      texts.push_back(Corvel::CDOMElement(node).GetText());
    } catch (const Corvel::CXMLError&) {
      // An element without text adds nothing.
    }
  }
  return texts;
}

int ConfigXml::to_int(const Glib::ustring& text) {
  // Stream extraction in the classic locale: white space, a sign, digits.
  std::istringstream in(text.raw());
  in.imbue(std::locale::classic());
  // Text without a number leaves 0; a number out of range gives the
  // nearest int.
  int value = 0;
  in >> value;
  return value;
}

ConfigXml::AutoDelete ConfigXml::get_autodelete(int kind) {
  if (AutoDeletePath(kind) == nullptr) return AutoDelete();
  return remember(autodelete_[kind], [&] { return read_autodelete(kind); });
}

ConfigXml::AutoDelete ConfigXml::read_autodelete(int kind) {
  AutoDelete result;
  const char* path = AutoDeletePath(kind);
  // A missing document root or auto-delete element is the caller's failure.
  Corvel::CDOMNode node = GetRootNode().SelectSingleNode(path);
  result.enabled = get_bool(node, ".", "enable");
  try {
    result.days = to_int(RequiredText(node, "expire/days"));
  } catch (const Corvel::CXMLError&) {
    return result;  // the percent is not looked at without the days
  }
  try {
    result.percent = to_int(RequiredText(node, "expire/percent"));
  } catch (const Corvel::CXMLError&) {
  }
  return result;
}

std::vector<std::string> ConfigXml::get_share_list() {
  std::vector<std::string> shares;
  for (const Glib::ustring& name :
       get_texts(GetRootNode(), "accesslogconf/sharelist/share/name")) {
    shares.push_back(name.raw());
  }
  return shares;
}

std::string ConfigXml::log_root() {
  return remember(log_root_, [&] {
    return RequiredText(GetRootNode(), paths_.at(kLogRootPath)).raw();
  });
}

const ConfigXml::LogSwitches& ConfigXml::log_switches() {
  return remember(switches_, [&] {
    LogSwitches s;
    Corvel::CDOMNode root;
    try {
      root = GetRootNode();
    } catch (const Corvel::CXMLError&) {
      return s;
    }
    s.system_log = get_bool(root, "eventlogconf", "enable");
    s.access_log = get_bool(root, "accesslogconf", "enable");
    s.all_shares = get_bool(root, "accesslogconf/sharelist", "all");
    s.shares = get_share_list();
    return s;
  });
}

}  // namespace quillo
