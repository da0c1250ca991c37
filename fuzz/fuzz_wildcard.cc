// Fuzzes wildcard_match against a plain transcription of the rule it
// implements: a scan with a "star seen" flag that starts a fresh comparison
// at every later value position. The transcription is exponential, so it
// judges short inputs only; longer ones (up to past the matcher's on-stack
// row) are judged by the same recursion memoised over positions.
//
// Input: byte 0 chooses where the rest splits into value and pattern.

#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/ascii.h"
#include "config/wildcard.h"
#include "config/wildcard_reference.h"

namespace {

constexpr size_t kPlainLimit = 24;
constexpr size_t kMemoValueLimit = 64;
constexpr size_t kMemoPatternLimit = 400;

using base::ascii_lower;

// The same recursion; a fresh comparison depends on (v, p) only, so its
// answers are kept: 0 unknown, 1 false, 2 true.
class MemoReference {
 public:
  MemoReference(const std::string& value, const std::string& pattern)
      : value_(value),
        pattern_(pattern),
        memo_((value.size() + 1) * (pattern.size() + 1), 0) {}

  bool Fresh(size_t v, size_t p) {
    uint8_t& cell = memo_[v * (pattern_.size() + 1) + p];
    if (cell == 0) cell = Compute(v, p) ? 2 : 1;
    return cell == 2;
  }

 private:
  bool Compute(size_t v, size_t p) {
    bool star = false;
    while (v < value_.size() && p < pattern_.size()) {
      if (pattern_[p] == '*') {
        ++p;
        star = true;
      } else if (star) {
        if (Fresh(v, p)) return true;
        ++v;
      } else if (ascii_lower(value_[v]) != ascii_lower(pattern_[p])) {
        return false;
      } else {
        ++v;
        ++p;
      }
    }
    return p == pattern_.size() && (v == value_.size() || star);
  }

  const std::string& value_;
  const std::string& pattern_;
  std::vector<uint8_t> memo_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t rest = size - 1;
  const size_t split = data[0] % (rest + 1);
  const std::string value(reinterpret_cast<const char*>(data + 1), split);
  const std::string pattern(reinterpret_cast<const char*>(data + 1 + split),
                            rest - split);

  const bool got = quillo::wildcard_match(value, pattern);
  if (value.size() <= kPlainLimit && pattern.size() <= kPlainLimit) {
    if (got != quillo::wildcard_reference::Match(value, pattern)) abort();
  } else if (value.size() <= kMemoValueLimit &&
             pattern.size() <= kMemoPatternLimit) {
    MemoReference reference(value, pattern);
    if (got != reference.Fresh(0, 0)) abort();
  }
  return 0;
}
