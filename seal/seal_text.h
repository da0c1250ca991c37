// The field rules the seal record line and the key file share (internal
// to seal/): fields split on single spaces, decimals written as the
// formatters write them.

#ifndef QUILLO_SEAL_SEAL_TEXT_H_
#define QUILLO_SEAL_SEAL_TEXT_H_

#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

namespace quillo {
namespace seal_text {

// The fields of `text` between single spaces; an empty field (a leading,
// trailing or doubled space) stays in as "", so that callers refuse it.
inline std::vector<std::string_view> split_fields(std::string_view text) {
  std::vector<std::string_view> fields;
  std::size_t start = 0;
  for (;;) {
    const std::size_t space = text.find(' ', start);
    if (space == std::string_view::npos) {
      fields.push_back(text.substr(start));
      return fields;
    }
    fields.push_back(text.substr(start, space - start));
    start = space + 1;
  }
}

// A decimal as std::to_string writes one: digits only, no sign, no
// leading zero (but "0" itself), at most `max`.
inline bool parse_decimal(
    std::string_view text, std::uint64_t* out,
    std::uint64_t max = std::numeric_limits<std::uint64_t>::max()) {
  if (text.empty() || (text.size() > 1 && text[0] == '0')) return false;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (max - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *out = value;
  return true;
}

}  // namespace seal_text
}  // namespace quillo

#endif  // QUILLO_SEAL_SEAL_TEXT_H_
