#include "config/wildcard.h"

#include <cstddef>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "config/wildcard_reference.h"

namespace quillo {
namespace {

bool ReferenceMatch(const std::string& value, const std::string& pattern) {
  return wildcard_reference::Match(value, pattern);
}

struct Case {
  const char* value;
  const char* pattern;
  bool expected;
};

class WildcardMatchTableTest : public testing::TestWithParam<Case> {};

TEST_P(WildcardMatchTableTest, MatchesLikeTheScan) {
  const Case& c = GetParam();
  EXPECT_EQ(wildcard_match(c.value, c.pattern), c.expected)
      << "value=\"" << c.value << "\" pattern=\"" << c.pattern << "\"";
  EXPECT_EQ(ReferenceMatch(c.value, c.pattern), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Quirks, WildcardMatchTableTest,
    testing::Values(
        // Case folding is ASCII only.
        Case{"pc01", "PC*", true}, Case{"Pc-A", "PC*", true},
        Case{"FAIL", "fail", true}, Case{"fail", "FAIL", true},
        Case{"\xc3\xa9", "\xc3\x89", false},  // e-acute vs E-acute
        Case{"\xc3\xa9", "\xc3\xa9", true},
        // A trailing star needs at least one more byte.
        Case{"PC", "PC*", false}, Case{"pc", "pc**", false},
        Case{"", "*", false}, Case{"", "**", false}, Case{"x", "*", true},
        // A leading or inner star may stand for nothing.
        Case{"01", "*01", true}, Case{"ab", "a*b", true},
        Case{"a.b.c", "a*c", true}, Case{"192.168.1.7", "192.168.*", true},
        Case{"192.168.10.7", "192.168.1.*", false},
        // No other special bytes.
        Case{"a", "?", false}, Case{"?", "?", true},
        Case{"a*b", "a\\*b", false},
        // Plain comparison needs equal lengths.
        Case{"", "", true}, Case{"a", "", false}, Case{"", "a", false},
        Case{"ab", "abc", false}, Case{"abc", "ab", false},
        Case{"axb", "a*b*", false}, Case{"axbx", "a*b*", true}));

TEST(WildcardMatchTest, AgreesWithTheScanOnRandomShortInputs) {
  std::mt19937 rng(20240611);
  const std::string value_bytes = "aAbB*";
  const std::string pattern_bytes = "aAbB***";
  std::uniform_int_distribution<int> value_len(0, 7);
  std::uniform_int_distribution<int> pattern_len(0, 7);
  std::uniform_int_distribution<std::size_t> vpick(0, value_bytes.size() - 1);
  std::uniform_int_distribution<std::size_t> ppick(0, pattern_bytes.size() - 1);
  int matched = 0;
  for (int i = 0; i < 20000; ++i) {
    std::string value;
    std::string pattern;
    for (int k = value_len(rng); k > 0; --k) value += value_bytes[vpick(rng)];
    for (int k = pattern_len(rng); k > 0; --k) {
      pattern += pattern_bytes[ppick(rng)];
    }
    const bool expected = ReferenceMatch(value, pattern);
    matched += expected ? 1 : 0;
    ASSERT_EQ(wildcard_match(value, pattern), expected)
        << "value=\"" << value << "\" pattern=\"" << pattern << "\"";
  }
  // Both outcomes must be well represented for the comparison to mean much.
  EXPECT_GT(matched, 1000);
  EXPECT_LT(matched, 19000);
}

TEST(WildcardMatchTest, ManyStarsAgainstALongValue) {
  // The recursive scan would take astronomically long here.
  std::string pattern;
  for (int i = 0; i < 30; ++i) pattern += "*a";
  pattern += "b";
  const std::string value(5000, 'a');
  EXPECT_FALSE(wildcard_match(value, pattern));
  EXPECT_TRUE(wildcard_match(value + "B", pattern));
}

TEST(WildcardMatchTest, LongPatternsUseTheSameRule) {
  // Patterns past the on-stack row size take the heap path.
  const std::string prefix(300, 'x');
  EXPECT_TRUE(wildcard_match(prefix + "-tail", prefix + "*tail"));
  EXPECT_FALSE(wildcard_match(prefix, prefix + "*"));
  EXPECT_TRUE(wildcard_match(prefix + "y", prefix + "*"));
}

}  // namespace
}  // namespace quillo
