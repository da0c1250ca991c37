#include "forward/forward_settings.h"

#include <string>
#include <utility>
#include <vector>

#include <glibmm/ustring.h>

#include "config/config_xml.h"
#include "support/xml/dom.h"

namespace quillo {
namespace {

constexpr long kMaxPort = 65535;
constexpr long kMaxWindow = 1024;
constexpr long kMaxMegabytes = 1L << 20;

// The element texts below one context node, with the white space around
// them (indentation) dropped.
class Reader {
 public:
  Reader(const ConfigXml& config, Corvel::CDOMNode root)
      : config_(config), root_(std::move(root)) {}

  std::string text(const char* xpath, const std::string& fallback) const {
    const std::string t = config_.get_text(root_, xpath, fallback).raw();
    const std::size_t first = t.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return std::string();
    return t.substr(first, t.find_last_not_of(" \t\r\n") - first + 1);
  }
  bool present(const Glib::ustring& xpath) const {
    return !config_.get_nodes(root_, xpath).empty();
  }
  bool on(const char* xpath, const char* attr) const {
    return config_.get_bool(root_, xpath, attr);
  }

 private:
  const ConfigXml& config_;
  const Corvel::CDOMNode root_;
};

// The whole decimal number `text` holds (at most nine digits, no sign),
// or -1 when it holds none or one above `max`.
long whole_number(const std::string& text, long max) {
  if (text.empty() || text.size() > 9) return -1;
  long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value <= max ? value : -1;
}

// A "kinds" attribute other than "true" turns its kind off; a missing one
// leaves it on.
void read_kinds(const Reader& in, ForwardSettings* s) {
  for (const LogKind kind : kLogKinds) {
    const char* attr = kind_info(kind).name;
    s->kinds[static_cast<std::size_t>(kind)] =
        !in.present(Glib::ustring("forwardconf/kinds[@") + attr + "]") ||
        in.on("forwardconf/kinds", attr);
  }
}

// The target and the spool size; sets `error` and leaves forwarding off
// when one of them is malformed.
void read_target(const Reader& in, ForwardSettings* s) {
  const ForwardSettings defaults;
  s->host = in.text("forwardconf/target/host", "");
  const std::string protocol =
      in.text("forwardconf/target/protocol", protocol_name(defaults.protocol));
  const std::string port = in.text("forwardconf/target/port", "");
  const std::string window =
      in.text("forwardconf/target/window", std::to_string(defaults.window));
  const std::string megabytes = in.text("forwardconf/spool/maxmegabytes",
                                        std::to_string(defaults.max_megabytes));
  const std::optional<ForwardProtocol> known = protocol_named(protocol);
  const long port_value = whole_number(port, kMaxPort);
  const long window_value = whole_number(window, kMaxWindow);
  const long megabytes_value = whole_number(megabytes, kMaxMegabytes);
  if (!known) {
    s->error = "forwardconf: unknown protocol \"" + protocol +
               "\" (tcp and relp are known)";
  } else if (s->host.empty()) {
    s->error = "forwardconf: no target host";
  } else if (port_value < 1) {
    s->error = "forwardconf: port \"" + port + "\" is not in 1-65535";
  } else if (window_value < 2) {
    s->error = "forwardconf: window \"" + window + "\" is not in 2-1024";
  } else if (megabytes_value < 1) {
    s->error = "forwardconf: spool maxmegabytes \"" + megabytes +
               "\" is not a whole number of at least 1";
  }
  if (!s->error.empty()) return;  // off
  s->protocol = *known;
  s->port = static_cast<int>(port_value);
  s->window = static_cast<int>(window_value);
  s->max_megabytes = static_cast<int>(megabytes_value);
  s->enable = true;
}

// The TLS settings of settings that are on; those that could only send
// unverified hold the rows back instead.
void read_tls(const Reader& in, ForwardSettings* s) {
  ForwardTls& tls = s->tls;
  tls.enable =
      in.present("forwardconf/tls") && in.on("forwardconf/tls", "enable");
  if (!tls.enable) return;
  tls.cafile = in.text("forwardconf/tls/cafile", "");
  tls.certfile = in.text("forwardconf/tls/certfile", "");
  tls.keyfile = in.text("forwardconf/tls/keyfile", "");
  tls.peername = in.text("forwardconf/tls/peername", "");
  if (tls.cafile.empty()) {
    s->error = "forwardconf: tls needs cafile to verify the collector";
  } else if (tls.certfile.empty() != tls.keyfile.empty()) {
    s->error = "forwardconf: tls needs certfile and keyfile together";
  } else if (s->protocol == ForwardProtocol::kRelp && tls.certfile.empty()) {
    s->error =
        "forwardconf: RELP over TLS needs certfile and keyfile (without "
        "them the collector is not verified)";
  }
  s->held = !s->error.empty();
}

}  // namespace

const char* protocol_name(ForwardProtocol protocol) {
  return protocol == ForwardProtocol::kRelp ? "relp" : "tcp";
}

std::optional<ForwardProtocol> protocol_named(std::string_view name) {
  for (const ForwardProtocol p :
       {ForwardProtocol::kTcp, ForwardProtocol::kRelp}) {
    if (name == protocol_name(p)) return p;
  }
  return std::nullopt;
}

std::string ForwardSettings::target_name() const {
  return host + ":" + std::to_string(port);
}

bool ForwardSettings::same_target(const ForwardSettings& o) const {
  return enable == o.enable && held == o.held && host == o.host &&
         port == o.port && protocol == o.protocol && window == o.window &&
         tls == o.tls;
}

ForwardSettings read_forward_settings(const ConfigXml& config) {
  ForwardSettings s;
  Corvel::CDOMNode root;
  try {
    root = config.GetRootNode();
  } catch (const Corvel::CXMLError&) {
    return s;
  }
  const Reader in(config, root);
  if (!in.present("forwardconf")) return s;
  read_kinds(in, &s);
  if (!in.on("forwardconf", "enable")) return s;  // off: nothing more read
  read_target(in, &s);
  if (s.enable) read_tls(in, &s);
  return s;
}

}  // namespace quillo
