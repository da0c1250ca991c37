#include "daemon/log_row.h"

#include <cctype>
#include <cstdint>
#include <limits>

#include "config/config_xml.h"
#include "logstore/log_file.h"

void append_field(std::string& row, const std::string& field) {
  if (!row.empty()) row += ',';
  for (char c : field) {
    if (c == '\r') {
      row += "#015";
    } else if (c == '\n') {
      row += "#012";
    } else {
      row += c;
    }
  }
}

int64_t parse_record_time(const char* text) {
  constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int32_t>::min();
  const char* p = text;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  int64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    // Stop growing once past the range; the result is clamped below.
    if (value <= kMax + 1) value = value * 10 + (*p - '0');
  }
  if (negative) value = -value;
  if (value > kMax) return kMax;
  if (value < kMin) return kMin;
  return value;
}

void apply_autodelete(LogFile& log, ConfigXml& config, int kind) {
  const ConfigXml::AutoDelete settings = config.get_autodelete(kind);
  log.autodelete_enabled = settings.enabled;
  log.expire_days = settings.days;
  log.expire_percent = settings.percent;
}
