#include "alert/rate_rule.h"

#include <string>

#include "base/ascii.h"
#include "config/config_xml.h"
#include "support/xml/dom.h"

namespace quillo {
namespace {

constexpr const char* kPerNames[] = {"user", "ip", "host", "share", "all"};

// The whole text of `xpath` as a decimal number in [low, high]; none for
// anything else (signs, blanks, trailing text, out of range).
std::optional<int> bounded_number(const std::string& text, int low, int high) {
  if (text.empty() || text.size() > 6) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value < low || value > high) return std::nullopt;
  return value;
}

bool present(const ConfigXml& config, const Corvel::CDOMNode& element,
             const char* xpath) {
  return !config.get_nodes(element, xpath).empty();
}

std::string text_of(const ConfigXml& config, const Corvel::CDOMNode& element,
                    const char* xpath, const char* fallback) {
  return config.get_text(element, xpath, fallback).raw();
}

void read_threshold(const ConfigXml& config, const Corvel::CDOMNode& element,
                    RateRule* rule) {
  if (!present(config, element, "threshold")) return;
  const std::string count = text_of(config, element, "threshold/count", "");
  const std::string seconds = text_of(config, element, "threshold/seconds", "");
  const std::string per = text_of(config, element, "threshold/per", "user");
  Threshold t;
  const auto c = bounded_number(count, 1, Threshold::kMaxCount);
  const auto s = bounded_number(seconds, 1, Threshold::kMaxSeconds);
  if (!c) {
    rule->error = "threshold count \"" + count + "\" is not in 1-100000";
    return;
  }
  if (!s) {
    rule->error = "threshold seconds \"" + seconds + "\" is not in 1-86400";
    return;
  }
  bool known = false;
  for (std::size_t i = 0; i < std::size(kPerNames); ++i) {
    if (per == kPerNames[i]) {
      t.per = static_cast<RatePer>(i);
      known = true;
    }
  }
  if (!known) {
    rule->error = "threshold per \"" + per +
                  "\" is not one of user, ip, host, share, all";
    return;
  }
  t.count = *c;
  t.seconds = *s;
  rule->threshold = t;
}

void read_response(const ConfigXml& config, const Corvel::CDOMNode& element,
                   RateRule* rule) {
  if (!present(config, element, "response")) return;
  Response r;
  r.script = text_of(config, element, "response/script", "");
  const std::string timeout = text_of(
      config, element, "response/timeout",
      std::to_string(Response::kDefaultTimeout).c_str());
  const auto t = bounded_number(timeout, 1, Response::kMaxTimeout);
  if (r.script.empty() || r.script[0] != '/') {
    rule->error = "response script \"" + r.script + "\" is not an absolute path";
    return;
  }
  if (!t) {
    rule->error = "response timeout \"" + timeout + "\" is not in 1-300";
    return;
  }
  r.timeout = *t;
  rule->response = r;
}

}  // namespace

const char* rate_per_name(RatePer per) {
  return kPerNames[static_cast<std::size_t>(per)];
}

RateRule read_rate_rule(const ConfigXml& config,
                        const Corvel::CDOMNode& element) {
  RateRule rule;
  read_threshold(config, element, &rule);
  if (rule.error.empty()) read_response(config, element, &rule);
  rule.extchange = config.get_bool(element, "extchange", "enable");
  return rule;
}

std::string path_extension(std::string_view path) {
  const std::size_t slash = path.find_last_of('/');
  const std::string_view last =
      slash == std::string_view::npos ? path : path.substr(slash + 1);
  const std::size_t dot = last.find_last_of('.');
  if (dot == std::string_view::npos) return std::string();
  return base::ascii_lower(std::string(last.substr(dot + 1)));
}

bool extension_changed(std::string_view rename_path) {
  constexpr std::string_view kArrow = " -> ";
  const std::size_t arrow = rename_path.find(kArrow);
  if (arrow == std::string_view::npos) return false;
  return path_extension(rename_path.substr(0, arrow)) !=
         path_extension(rename_path.substr(arrow + kArrow.size()));
}

}  // namespace quillo
