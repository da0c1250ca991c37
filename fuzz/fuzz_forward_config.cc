// Fuzzes the forwarding settings ("forwardconf") of the configuration
// document. Loading may raise only the XML layer's error, reading the
// settings nothing. Settings that are on always hold a known protocol (tcp
// or relp), a host, a port in 1-65535, a window in 2-1024 and a spool of
// at least 1 MiB; held ones are on and say why.
//
// Structured mode builds the element from the input, so that what is
// present is known: then forwarding is on exactly when the element says
// enable="true" and every value is within its range, each value is the
// element's text without the white space around it, an absent or empty
// element gives the default (tcp, window 128, 64 MiB), a missing kinds
// attribute counts as on and any other value than "true" as off, and the
// TLS settings are held exactly when they cannot verify the collector.
// Numbers are whole decimal numbers of at most nine digits.
//
// Input: byte 0 bit 0 set: the rest is the whole document. Otherwise
// bytes 1-2 say which elements and attributes are there, byte 3 the kinds
// attributes (2 bits each: none, "true", "false", a text), and the rest is
// their texts, separated by NUL (only printable ASCII, tab and line feed
// kept; XML's special characters escaped).

#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "config/config_test_util.h"
#include "config/config_xml.h"
#include "forward/forward_settings.h"
#include "support/xml/dom.h"

namespace {

using quillo::ConfigXml;
using Conf = quillo::ForwardSettings;
using quillo::LogKind;

TempConfig& tree() {
  static TempConfig t;
  return t;
}

// The input's texts, one per element or attribute that asks.
struct Texts {
  std::string rest;
  std::string next() {
    const std::size_t nul = rest.find('\0');
    std::string raw = rest.substr(0, nul);
    rest = nul == std::string::npos ? "" : rest.substr(nul + 1);
    std::string text;
    for (unsigned char c : raw) {
      if ((c >= 0x20 && c < 0x7F) || c == '\t' || c == '\n') text += c;
    }
    return text;
  }
};

std::string escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    out += c == '&'   ? "&amp;"
           : c == '<' ? "&lt;"
           : c == '>' ? "&gt;"
           : c == '"' ? "&quot;"
                      : std::string(1, c);
  }
  return out;
}

std::string trimmed(const std::string& t) {
  const std::size_t first = t.find_first_not_of(" \t\n");
  if (first == std::string::npos) return "";
  return t.substr(first, t.find_last_not_of(" \t\n") - first + 1);
}

// The whole number `text` holds, or -1.
long number(const std::string& text) {
  if (text.empty() || text.size() > 9) return -1;
  long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    v = v * 10 + (c - '0');
  }
  return v;
}

void check_ranges(const Conf& c) {
  if (c.held && (!c.enable || c.error.empty())) abort();
  if (!c.enable) return;
  const std::string protocol = quillo::protocol_name(c.protocol);
  if ((protocol != "tcp" && protocol != "relp") || c.host.empty() ||
      c.port < 1 || c.port > 65535 || c.window < 2 || c.window > 1024 ||
      c.max_megabytes < 1 || c.held != !c.error.empty()) {
    abort();
  }
}

// An element `name` with the next text when `present`; its trimmed text,
// or `fallback` when absent or empty, in `*value`.
std::string element(bool present, const char* name, Texts& in,
                    const std::string& fallback, std::string* value) {
  *value = fallback;
  if (!present) return "";
  const std::string text = in.next();
  if (!text.empty()) *value = trimmed(text);
  return std::string("<") + name + ">" + escaped(text) + "</" + name + ">";
}

void structured(const uint8_t* data, size_t size) {
  if (size < 4) return;
  const unsigned flags = data[1] | (data[2] << 8);
  const auto on = [&](int bit) { return (flags >> bit & 1) != 0; };
  Texts in{std::string(reinterpret_cast<const char*>(data + 4), size - 4)};
  std::string host, port, protocol, window, megabytes, ca, cert, key, peer;
  std::string target = element(on(4), "host", in, "", &host) +
                       element(on(5), "port", in, "", &port) +
                       element(on(6), "protocol", in, "tcp", &protocol) +
                       element(on(7), "window", in, "128", &window);
  std::string tls = element(on(10), "cafile", in, "", &ca) +
                    element(on(11), "certfile", in, "", &cert) +
                    element(on(12), "keyfile", in, "", &key) +
                    element(on(13), "peername", in, "", &peer);
  const std::string spool =
      element(on(15), "maxmegabytes", in, "64", &megabytes);
  const std::string enable = in.next();
  const bool wanted = on(1) && (on(2) || enable == "true");
  std::string doc = "<config><share><path>/srv/log</path></share>";
  if (on(0)) {
    doc += "<forwardconf";
    if (on(1)) doc += " enable=\"" + (on(2) ? "true" : escaped(enable)) + "\"";
    doc += ">";
    if (on(3)) doc += "<target>" + target + "</target>";
    if (on(8)) {
      doc += std::string("<tls") + (on(9) ? " enable=\"true\"" : "") + ">" +
             tls + "</tls>";
    }
  }
  bool kind_on[3];
  static const char* const kKinds[] = {"system", "access", "alert"};
  if (on(0) && on(14)) doc += "<kinds";
  for (int k = 0; k < 3; ++k) {
    const int how = data[3] >> (2 * k) & 3;
    const std::string text = how == 3 ? in.next() : how == 1 ? "true" : "false";
    kind_on[k] = !on(14) || how == 0 || text == "true";
    if (on(0) && on(14) && how != 0) {
      doc += std::string(" ") + kKinds[k] + "=\"" + escaped(text) + "\"";
    }
  }
  if (on(0) && on(14)) doc += "/>";
  if (on(0))
    doc += (on(15) ? "<spool>" + spool + "</spool>" : "") + "</forwardconf>";
  doc += "</config>";

  tree().Write(doc);
  ConfigXml config(tree().path());
  config.load();  // a document made of escaped text always loads
  const Conf c = quillo::read_forward_settings(config);
  check_ranges(c);
  if (!on(0) || !wanted) {
    if (c.enable || !c.error.empty()) abort();
    if (on(0) && (c.forwards(LogKind::kSystem) != kind_on[0] ||
                  c.forwards(LogKind::kAccess) != kind_on[1] ||
                  c.forwards(LogKind::kAlert) != kind_on[2])) {
      abort();
    }
    return;
  }
  if (!on(3)) host = port = "", protocol = "tcp", window = "128";
  const long p = number(port), w = number(window), m = number(megabytes);
  const bool valid = (protocol == "tcp" || protocol == "relp") &&
                     !host.empty() && p >= 1 && p <= 65535 && w >= 2 &&
                     w <= 1024 && m >= 1 && m <= (1L << 20);
  if (c.enable != valid || (!valid && c.error.empty())) abort();
  if (c.forwards(LogKind::kSystem) != kind_on[0] ||
      c.forwards(LogKind::kAccess) != kind_on[1] ||
      c.forwards(LogKind::kAlert) != kind_on[2]) {
    abort();
  }
  if (!valid) return;
  if (c.host != host || quillo::protocol_name(c.protocol) != protocol ||
      c.port != p ||
      c.window != w || c.max_megabytes != m ||
      c.tls.enable != (on(8) && on(9))) {
    abort();
  }
  if (!c.tls.enable) {
    if (c.held) abort();
    return;
  }
  if (!on(8)) ca = cert = key = peer = "";
  const bool unverified = ca.empty() || cert.empty() != key.empty() ||
                          (protocol == "relp" && cert.empty());
  if (c.tls.cafile != ca || c.tls.certfile != cert || c.tls.keyfile != key ||
      c.tls.peername != peer || c.held != unverified) {
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tree();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  if ((data[0] & 1) == 0) {
    structured(data, size);
    return 0;
  }
  tree().Write(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
  ConfigXml config(tree().path());
  try {
    config.load();
  } catch (const Corvel::CXMLError&) {
    return 0;
  }
  check_ranges(quillo::read_forward_settings(config));
  return 0;
}
