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
  forward_ = {};
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

const ConfigXml::ForwardConf& ConfigXml::forward_settings() {
  return remember(forward_, [&] { return read_forward_settings(); });
}

ConfigXml::ForwardConf ConfigXml::read_forward_settings() {
  ForwardConf conf;
  Corvel::CDOMNode root;
  try {
    root = GetRootNode();
  } catch (const Corvel::CXMLError&) {
    return conf;
  }
  if (get_nodes(root, "forwardconf").empty()) return conf;
  const bool wanted = get_bool(root, "forwardconf", "enable");
  // A "kinds" attribute other than "true" turns its kind off; a missing
  // one leaves it on.
  const auto kind_on = [&](const char* attr) {
    const std::vector<Corvel::CDOMNode> found =
        get_nodes(root, Glib::ustring("forwardconf/kinds[@") + attr + "]");
    return found.empty() || get_bool(root, "forwardconf/kinds", attr);
  };
  conf.system = kind_on("system");
  conf.access = kind_on("access");
  conf.alert = kind_on("alert");
  if (!wanted) return conf;  // off: the rest is not looked at
  // Texts with the white space around them (indentation) dropped.
  const auto text = [&](const char* xpath, const char* fallback) {
    std::string t = get_text(root, xpath, fallback).raw();
    const std::size_t first = t.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return std::string();
    return t.substr(first, t.find_last_not_of(" \t\r\n") - first + 1);
  };
  conf.host = text("forwardconf/target/host", "");
  conf.protocol = text("forwardconf/target/protocol", "tcp");
  const std::string port = text("forwardconf/target/port", "");
  const std::string window = text("forwardconf/target/window", "128");
  const std::string megabytes = text("forwardconf/spool/maxmegabytes", "64");
  const auto whole_number = [](const std::string& text, long max) -> long {
    if (text.empty() || text.size() > 9) return -1;
    long value = 0;
    for (char c : text) {
      if (c < '0' || c > '9') return -1;
      value = value * 10 + (c - '0');
    }
    return value <= max ? value : -1;
  };
  const long port_value = whole_number(port, 65535);
  const long window_value = whole_number(window, 1024);
  const long megabytes_value = whole_number(megabytes, 1L << 20);
  if (conf.protocol != "tcp" && conf.protocol != "relp") {
    conf.error = "forwardconf: unknown protocol \"" + conf.protocol +
                 "\" (tcp and relp are known)";
  } else if (conf.host.empty()) {
    conf.error = "forwardconf: no target host";
  } else if (port_value < 1) {
    conf.error = "forwardconf: port \"" + port + "\" is not in 1-65535";
  } else if (window_value < 2) {
    conf.error = "forwardconf: window \"" + window + "\" is not in 2-1024";
  } else if (megabytes_value < 1) {
    conf.error = "forwardconf: spool maxmegabytes \"" + megabytes +
                 "\" is not a whole number of at least 1";
  }
  if (!conf.error.empty()) return conf;  // off
  conf.port = static_cast<int>(port_value);
  conf.window = static_cast<int>(window_value);
  conf.max_megabytes = static_cast<int>(megabytes_value);
  conf.enable = true;

  ForwardConf::Tls& tls = conf.tls;
  tls.enable = !get_nodes(root, "forwardconf/tls").empty() &&
               get_bool(root, "forwardconf/tls", "enable");
  if (!tls.enable) return conf;
  tls.cafile = text("forwardconf/tls/cafile", "");
  tls.certfile = text("forwardconf/tls/certfile", "");
  tls.keyfile = text("forwardconf/tls/keyfile", "");
  tls.peername = text("forwardconf/tls/peername", "");
  // Settings that could only send unverified hold the rows back instead.
  if (tls.cafile.empty()) {
    conf.error = "forwardconf: tls needs cafile to verify the collector";
  } else if (tls.certfile.empty() != tls.keyfile.empty()) {
    conf.error = "forwardconf: tls needs certfile and keyfile together";
  } else if (conf.protocol == "relp" && tls.certfile.empty()) {
    conf.error =
        "forwardconf: RELP over TLS needs certfile and keyfile (without "
        "them the collector is not verified)";
  }
  conf.held = !conf.error.empty();
  return conf;
}

}  // namespace quillo
