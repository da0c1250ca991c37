#include "config/wildcard.h"

#include <cstddef>
#include <string>

#include "base/ascii.h"

namespace quillo {
namespace {

bool EqualFolded(const std::string& value, const std::string& pattern) {
  if (value.size() != pattern.size()) return false;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (base::ascii_lower(value[i]) != base::ascii_lower(pattern[i]))
      return false;
  }
  return true;
}

// The rule is an exhaustive search: a "*" stands for any run of bytes (also
// an empty one), so it agrees with the usual glob match with one exception.
// A "*" is taken up only while value bytes remain, which matters only for
// the stars at the very end of the pattern: there, at least one more value
// byte is needed. ("a*" does not match "a", "*" does not match "", "*01"
// matches "01".) A pattern ending in "*" therefore matches exactly when the
// value without its last byte matches the pattern as a glob.
//
// The glob match below keeps one restart point, the last "*" seen: when a
// literal fails, that star takes one more byte and the scan restarts after
// it. Earlier stars never need to take more, so this finds every match, in
// time linear in the value for the patterns administrators write and never
// more than the product of the two lengths.
bool GlobMatch(const char* value, std::size_t n, const std::string& pattern) {
  const std::size_t m = pattern.size();
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::size_t v = 0;
  std::size_t p = 0;
  std::size_t star = kNone;  // position of the last "*" seen
  std::size_t resume = 0;    // value position that star has reached
  while (v < n) {
    if (p < m && pattern[p] == '*') {
      star = p++;
      resume = v;
    } else if (p < m &&
               base::ascii_lower(pattern[p]) == base::ascii_lower(value[v])) {
      ++v;
      ++p;
    } else if (star != kNone) {
      p = star + 1;
      v = ++resume;
    } else {
      return false;
    }
  }
  while (p < m && pattern[p] == '*') ++p;
  return p == m;
}

}  // namespace

bool wildcard_match(const std::string& value, const std::string& pattern) {
  if (pattern.find('*') == std::string::npos) {
    return EqualFolded(value, pattern);
  }
  if (pattern.back() == '*') {
    return !value.empty() && GlobMatch(value.data(), value.size() - 1, pattern);
  }
  return GlobMatch(value.data(), value.size(), pattern);
}

}  // namespace quillo
