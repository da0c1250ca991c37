// GLib's UTF-8 rules as the fuzz targets' oracle for text the system
// repairs: g_utf8_validate() for "valid UTF-8" (shortest forms, no
// surrogates, at most U+10FFFF) and g_utf8_make_valid() for the repair
// (one U+FFFD for each byte that starts no character). Text holds no NUL.

#ifndef QUILLO_FUZZ_UTF8_ORACLE_H_
#define QUILLO_FUZZ_UTF8_ORACLE_H_

#include <string>

#include <glib.h>

inline bool is_valid_utf8(const std::string& text) {
  return g_utf8_validate(text.data(), static_cast<gssize>(text.size()),
                         nullptr);
}

inline std::string repaired_utf8(const std::string& text) {
  gchar* valid =
      g_utf8_make_valid(text.data(), static_cast<gssize>(text.size()));
  std::string out(valid);
  g_free(valid);
  return out;
}

#endif  // QUILLO_FUZZ_UTF8_ORACLE_H_
