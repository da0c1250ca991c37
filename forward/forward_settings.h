// The forwarding settings: the one struct every part of forwarding reads
// (the forwarder, its spool limit and the connections), with each default
// written once, and the reader of the configuration's "forwardconf"
// element that fills it.
//
//   <forwardconf enable="true">
//     <target><host>collector</host><port>6514</port>
//             <protocol>relp</protocol><window>128</window></target>
//     <tls enable="true"><cafile>...</cafile><certfile>...</certfile>
//          <keyfile>...</keyfile><peername>...</peername></tls>
//     <kinds system="true" access="true" alert="false"/>
//     <spool><maxmegabytes>64</maxmegabytes></spool>
//   </forwardconf>
//
// Without the element forwarding is off and `error` empty; a malformed one
// (unknown protocol, port outside 1 to 65535, no host, a spool size below
// 1, a RELP window outside 2 to 1024) is off with `error` saying why. TLS
// settings that cannot verify the collector (no cafile, a certificate
// without its key, RELP over TLS without a client certificate) leave it on
// but held: rows are spooled, nothing is sent, and `error` says why.

#ifndef QUILLO_FORWARD_FORWARD_SETTINGS_H_
#define QUILLO_FORWARD_FORWARD_SETTINGS_H_

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "logstore/log_kind.h"

namespace quillo {

class ConfigXml;

enum class ForwardProtocol { kTcp, kRelp };

// One flag per kind, every one on.
constexpr std::array<bool, kLogKinds.size()> every_kind() {
  std::array<bool, kLogKinds.size()> on{};
  for (bool& flag : on) flag = true;
  return on;
}

// "tcp" or "relp".
const char* protocol_name(ForwardProtocol protocol);
// The protocol named `name`; none for any other word.
std::optional<ForwardProtocol> protocol_named(std::string_view name);

// The "tls" element.
struct ForwardTls {
  bool enable = false;
  std::string cafile;    // the authorities the collector's certificate is
                         // checked against
  std::string certfile;  // this appliance's certificate and key, sent
  std::string keyfile;   // when the collector asks for one
  std::string peername;  // the collector's name; empty: the target host

  bool operator==(const ForwardTls& o) const {
    return enable == o.enable && cafile == o.cafile && certfile == o.certfile &&
           keyfile == o.keyfile && peername == o.peername;
  }
  bool operator!=(const ForwardTls& o) const { return !(*this == o); }
};

struct ForwardSettings {
  static constexpr int kDefaultWindow = 128;
  static constexpr int kDefaultMaxMegabytes = 64;

  bool enable = false;
  // Rows are spooled but nothing is sent: the settings could not verify
  // the collector.
  bool held = false;
  std::string host;
  int port = 0;
  ForwardProtocol protocol = ForwardProtocol::kTcp;
  int window = kDefaultWindow;  // RELP frames awaiting acknowledgement
  ForwardTls tls;
  // Per kind, in the order of kLogKinds; a missing "kinds" attribute is on.
  std::array<bool, kLogKinds.size()> kinds = every_kind();
  int max_megabytes = kDefaultMaxMegabytes;  // the spool's limit
  std::string error;  // why the settings are off or held; empty: neither

  bool forwards(LogKind kind) const {
    return kinds[static_cast<std::size_t>(kind)];
  }
  // "host:port", for messages.
  std::string target_name() const;
  // Whether `o` names the same collector, reached the same way: when it
  // does not, the connection is made anew.
  bool same_target(const ForwardSettings& o) const;
};

// The settings of `config`'s loaded document ("forwardconf" below its
// root); a document without root gives forwarding off. Never raises.
ForwardSettings read_forward_settings(const ConfigXml& config);

}  // namespace quillo

#endif  // QUILLO_FORWARD_FORWARD_SETTINGS_H_
