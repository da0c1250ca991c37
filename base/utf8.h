// The one UTF-8 validator of the tree.
//
//   utf8_length(s)         length (1 to 4) of the well-formed character at
//                          the start of `s`, 0 when there is none
//   repair_utf8(s)         `s` with every byte that starts no well-formed
//                          character replaced by U+FFFD
//   utf8_prefix(s, max)    the longest prefix of at most `max` bytes that
//                          does not cut a character in two
//
// Well-formed means RFC 3629: no overlong forms, no surrogates, nothing past
// U+10FFFF, no stray continuation bytes. What a caller does with the
// characters it finds (escape controls, refuse U+FFFE...) is its own policy.

#ifndef QUILLO_BASE_UTF8_H_
#define QUILLO_BASE_UTF8_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace base {

inline constexpr char kReplacementCharacter[] = "\xEF\xBF\xBD";  // U+FFFD

inline std::size_t utf8_length(std::string_view s) {
  if (s.empty()) return 0;
  const auto byte = [&](std::size_t k) {
    return static_cast<unsigned char>(s[k]);
  };
  const unsigned char b0 = byte(0);
  if (b0 < 0x80) return 1;
  std::size_t n;
  unsigned char low = 0x80;  // bounds of the second byte
  unsigned char high = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3;
    if (b0 == 0xE0) low = 0xA0;   // no overlong forms
    if (b0 == 0xED) high = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4;
    if (b0 == 0xF0) low = 0x90;   // no overlong forms
    if (b0 == 0xF4) high = 0x8F;  // nothing past U+10FFFF
  } else {
    return 0;
  }
  if (n > s.size()) return 0;
  if (byte(1) < low || byte(1) > high) return 0;
  for (std::size_t k = 2; k < n; ++k) {
    if ((byte(k) & 0xC0) != 0x80) return 0;
  }
  return n;
}

inline bool is_valid_utf8(std::string_view s) {
  while (!s.empty()) {
    const std::size_t n = utf8_length(s);
    if (n == 0) return false;
    s.remove_prefix(n);
  }
  return true;
}

inline std::string repair_utf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  while (!s.empty()) {
    const std::size_t n = utf8_length(s);
    if (n == 0) {
      out += kReplacementCharacter;
      s.remove_prefix(1);
    } else {
      out.append(s.data(), n);
      s.remove_prefix(n);
    }
  }
  return out;
}

// For text that is valid UTF-8 (repair_utf8() first otherwise).
inline std::size_t utf8_prefix(std::string_view s, std::size_t max) {
  if (max >= s.size()) return s.size();
  std::size_t end = max;
  while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) --end;
  return end;
}

}  // namespace base

#endif  // QUILLO_BASE_UTF8_H_
