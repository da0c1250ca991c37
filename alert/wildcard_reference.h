// The pattern rule of wildcard_match() written as the plain recursive scan
// it is defined by, for tests and fuzzing to judge the real matcher
// against. It takes exponential time on many-star patterns: give it short
// inputs only.

#ifndef QUILLO_ALERT_WILDCARD_REFERENCE_H_
#define QUILLO_ALERT_WILDCARD_REFERENCE_H_

#include <cstddef>
#include <string>

namespace wildcard_reference {

inline char Fold(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

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
    } else if (Fold(value[v]) != Fold(pattern[p])) {
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

#endif  // QUILLO_ALERT_WILDCARD_REFERENCE_H_
