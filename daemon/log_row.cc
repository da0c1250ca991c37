#include "daemon/log_row.h"

#include <cstdint>

#include "base/ascii.h"
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
  return base::parse_leading_int32(text);
}

void apply_autodelete(LogFile& log, quillo::ConfigXml& config, int kind) {
  const quillo::ConfigXml::AutoDelete settings = config.get_autodelete(kind);
  log.autodelete_enabled = settings.enabled;
  log.expire_days = settings.days;
  log.expire_percent = settings.percent;
}
