#include "alert/wildcard.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

// ASCII-only case folding: independent of the process locale.
inline char Fold(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualFolded(const std::string& value, const std::string& pattern) {
  if (value.size() != pattern.size()) return false;
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (Fold(value[i]) != Fold(pattern[i])) return false;
  }
  return true;
}

// The rule is a scan with a "star seen" flag that, once set, retries a fresh
// scan (flag clear) at every later value position. Over positions (v, p) it
// reads, with n = value length and m = pattern length:
//
//   Fresh(v, p) = v == n && p == m                 if v == n or p == m
//               = Star(v, p + 1)                   if pattern[p] == '*'
//               = same(v, p) && Fresh(v + 1, p + 1) otherwise
//   Star(v, p)  = p == m                           if v == n or p == m
//               = Star(v, p + 1)                   if pattern[p] == '*'
//               = Fresh(v, p) || Star(v + 1, p)    otherwise
//
// and the answer is Fresh(0, 0). Both depend only on cells with a larger v or
// the same v and a larger p, so one row per v, filled from p = m downwards,
// gives the answer in O(n * m) time. The row is kept in place: cell p holds
// row v + 1 until it is overwritten, and `diag` saves the old Fresh(v+1, p+1).
constexpr std::uint8_t kFresh = 1;
constexpr std::uint8_t kStar = 2;

bool MatchRows(const std::string& value, const std::string& pattern,
               std::uint8_t* row) {
  const std::size_t n = value.size();
  const std::size_t m = pattern.size();
  // Row v = n: only the end-of-loop rule applies.
  for (std::size_t p = 0; p < m; ++p) row[p] = 0;
  row[m] = kFresh | kStar;
  for (std::size_t v = n; v-- > 0;) {
    const char vc = Fold(value[v]);
    std::uint8_t diag = row[m];  // cell (v + 1, m)
    row[m] = kStar;              // p at the end, v not: only Star holds
    for (std::size_t p = m; p-- > 0;) {
      const std::uint8_t below = row[p];  // cell (v + 1, p)
      std::uint8_t cell;
      if (pattern[p] == '*') {
        // Both scans move on with the star flag set.
        cell = (row[p + 1] & kStar) ? (kFresh | kStar) : 0;
      } else {
        const bool fresh = Fold(pattern[p]) == vc && (diag & kFresh) != 0;
        const bool star = fresh || (below & kStar) != 0;
        cell = static_cast<std::uint8_t>((fresh ? kFresh : 0) |
                                         (star ? kStar : 0));
      }
      diag = below;
      row[p] = cell;
    }
  }
  return (row[0] & kFresh) != 0;
}

}  // namespace

bool wildcard_match(const std::string& value, const std::string& pattern) {
  if (pattern.find('*') == std::string::npos) {
    return EqualFolded(value, pattern);
  }
  constexpr std::size_t kStackCells = 256;
  if (pattern.size() < kStackCells) {
    std::array<std::uint8_t, kStackCells> row;
    return MatchRows(value, pattern, row.data());
  }
  std::vector<std::uint8_t> row(pattern.size() + 1);
  return MatchRows(value, pattern, row.data());
}
