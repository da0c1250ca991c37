// ASCII-only text helpers. Only the letters A to Z change case: bytes of
// multi-byte UTF-8 characters (all 0x80 and above) pass unchanged, and the
// result never depends on the process's locale.

#ifndef QUILLO_BASE_ASCII_H_
#define QUILLO_BASE_ASCII_H_

#include <cstdint>
#include <limits>
#include <string>

namespace base {

constexpr char ascii_lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string ascii_lower(std::string s) {
  for (char& c : s) c = ascii_lower(c);
  return s;
}

constexpr bool ascii_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// The decimal number at the start of `text` (from `pos`): ASCII white space
// skipped, an optional sign, then digits up to the first other byte;
// clamped to the 32-bit range; 0 when there are no digits. Never reads past
// `text.size()`.
inline std::int32_t parse_leading_int32(const std::string& text,
                                        std::size_t pos = 0) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
  while (pos < text.size() && ascii_space(text[pos])) ++pos;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos++] == '-';
  }
  std::int64_t value = 0;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos) {
    // Stop growing once past the range; the result is clamped below.
    if (value <= kMax + 1) value = value * 10 + (text[pos] - '0');
  }
  if (negative) value = -value;
  if (value > kMax) return static_cast<std::int32_t>(kMax);
  if (value < kMin) return static_cast<std::int32_t>(kMin);
  return static_cast<std::int32_t>(value);
}

}  // namespace base

#endif  // QUILLO_BASE_ASCII_H_
