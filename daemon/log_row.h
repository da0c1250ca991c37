// Building CSV rows for the log files.
//
// Fields are joined by "," with no quoting; each field's bytes are copied
// unchanged except CR and LF, which become the four characters "#015" and
// "#012" (the syslog convention for control characters), so that no field a
// client sends can end a line and forge further log lines. Commas stay.

#ifndef QUILLO_DAEMON_LOG_ROW_H_
#define QUILLO_DAEMON_LOG_ROW_H_

#include <cstdint>
#include <string>

namespace quillo {
class ConfigXml;
}  // namespace quillo
class LogFile;

// Appends `field` to `row`, preceded by "," unless `row` is empty.
void append_field(std::string& row, const std::string& field);

// The leading decimal number of `text` as a system record's time: white
// space skipped, optional sign, digits up to the first other character;
// clamped to the 32-bit range; 0 when no number can be read.
int64_t parse_record_time(const char* text);

// Copies the auto-delete settings of `kind` (ConfigXml::kSystemLog or
// kAccessLog) into `log`. Raises when the kind's autodelete element is
// missing.
void apply_autodelete(LogFile& log, quillo::ConfigXml& config, int kind);

#endif  // QUILLO_DAEMON_LOG_ROW_H_
