#include "seal/seal_settings.h"

#include "config/config_xml.h"
#include "support/xml/dom.h"

namespace quillo {

SealSettings read_seal_settings(const ConfigXml& config) {
  SealSettings s;
  Corvel::CDOMNode root;
  try {
    root = config.GetRootNode();
  } catch (const Corvel::CXMLError&) {
    return s;
  }
  if (config.get_nodes(root, "sealconf").empty()) return s;
  s.enable = config.get_bool(root, "sealconf", "enable");
  if (!s.enable) return s;
  std::string text = config.get_text(root, "sealconf/epochminutes", "").raw();
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  text = first == std::string::npos
             ? std::string()
             : text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
  if (text.empty()) return s;
  long value = 0;
  bool ok = text.size() <= 4;
  for (const char c : text) {
    ok = ok && c >= '0' && c <= '9';
    if (ok) value = value * 10 + (c - '0');
  }
  if (ok && value >= 1 && value <= kMaxEpochMinutes) {
    s.epoch_minutes = static_cast<int>(value);
  } else {
    s.error = "epochminutes: \"" + text + "\" is not a number from 1 to " +
              std::to_string(kMaxEpochMinutes) + "; " +
              std::to_string(kDefaultEpochMinutes) + " is used";
  }
  return s;
}

}  // namespace quillo
