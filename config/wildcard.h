// The pattern comparison used by alert conditions and by quillo-query's
// column filters.
//
// A pattern is compared with a value byte by byte, ASCII letters without
// regard to case; "*" is the only special byte. The rule has two quirks that
// administrators' existing conditions rely on, so they are kept:
//
//   wildcard_match("pc01", "PC*")  == true
//   wildcard_match("pc", "PC*")    == false  // a trailing "*" needs a byte
//   wildcard_match("", "*")        == false
//   wildcard_match("01", "*01")    == true   // a leading "*" may be empty
//   wildcard_match("a.b.c", "a*c") == true
//
// Bytes outside "A" to "Z" (including every byte of a multi-byte UTF-8
// character) must be equal. There is no "?", no escape and no class.

#ifndef QUILLO_CONFIG_WILDCARD_H_
#define QUILLO_CONFIG_WILDCARD_H_

#include <string>

namespace quillo {

// True when `value` matches `pattern` under the rule above. Runs in time
// proportional to the product of the two lengths whatever the pattern, and
// allocates nothing for patterns shorter than a few hundred bytes. Pure and
// reentrant.
bool wildcard_match(const std::string& value, const std::string& pattern);

}  // namespace quillo

#endif  // QUILLO_CONFIG_WILDCARD_H_
