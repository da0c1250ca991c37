// A strict reader of RFC 5424 syslog messages, written as the oracle of
// the fuzz targets and used nowhere else. It accepts only what the message
// grammar allows, and is stricter where the grammar leaves room: a PRI
// without leading zeros, seconds 00-59 on a real calendar day, and inside
// a PARAM-VALUE a backslash only before '"', '\' or ']' and no unescaped
// ']'. PARAM-VALUEs must be valid UTF-8 (checked with GLib), as must MSG
// when it starts with a byte order mark; MSG is otherwise taken as it is.
//
//   Rfc5424Message m;
//   if (!read_rfc5424(text, &m)) ...;  // not a message
//   m.elements[0].params[0].second     // the first value, unescaped

#ifndef QUILLO_FUZZ_RFC5424_READER_H_
#define QUILLO_FUZZ_RFC5424_READER_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct Rfc5424Message {
  struct Element {
    std::string id;
    std::vector<std::pair<std::string, std::string>> params;
  };
  int priority = 0;
  int version = 0;
  // "-", or the parts of the time and its offset from UTC in seconds.
  std::string timestamp;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  int offset_seconds = 0;
  std::string hostname, app_name, procid, msgid;
  std::vector<Element> elements;  // empty for a NILVALUE
  bool has_msg = false;
  std::string msg;
};

// Reads `text` as one message into `*out`; false when it is not one.
bool read_rfc5424(std::string_view text, Rfc5424Message* out);

#endif  // QUILLO_FUZZ_RFC5424_READER_H_
