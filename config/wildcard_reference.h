// The pattern rule of wildcard_match() written as the plain recursive scan
// it is defined by, for tests and fuzzing to judge the real matcher
// against. It takes exponential time on many-star patterns: give it short
// inputs only.

#ifndef QUILLO_CONFIG_WILDCARD_REFERENCE_H_
#define QUILLO_CONFIG_WILDCARD_REFERENCE_H_

#include <cstddef>
#include <string>

#include "base/ascii.h"

namespace quillo {
namespace wildcard_reference {

// A fresh comparison of value[v..] with pattern[p..]: after a "*", every
// later value position starts a fresh comparison of the rest.
inline bool Match(const std::string& value, std::size_t v,
                  const std::string& pattern, std::size_t p) {
  bool star = false;
  while (v < value.size() && p < pattern.size()) {
    if (pattern[p] == '*') {
      ++p;
      star = true;
    } else if (star) {
      if (Match(value, v, pattern, p)) return true;
      ++v;
    } else if (base::ascii_lower(value[v]) != base::ascii_lower(pattern[p])) {
      return false;
    } else {
      ++v;
      ++p;
    }
  }
  return p == pattern.size() && (v == value.size() || star);
}

inline bool Match(const std::string& value, const std::string& pattern) {
  return Match(value, 0, pattern, 0);
}

}  // namespace wildcard_reference
}  // namespace quillo

#endif  // QUILLO_CONFIG_WILDCARD_REFERENCE_H_
