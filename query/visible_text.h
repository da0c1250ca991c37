// Text from the log tree as quillo-query shows it to a person.
//
// The log folders are world-writable and the daemon stores every field as
// received, so file names and rows may hold terminal controls: escape
// sequences, the C1 controls U+0080-U+009F (U+009B alone starts a control
// sequence) and bytes that a terminal in an 8-bit encoding takes for C1.
// Whatever reaches a terminal, and every name in a message, goes through
// here first:
//
//   C0 controls, DEL, bytes that are not UTF-8   ->  \x1b  \x7f  \xff
//   C1 controls (as well-formed UTF-8)           ->  \u009b
//   the backslash itself                         ->  \\ (doubled)
//
// so nothing shown is obeyed and what is shown can be read back. Other
// characters are kept. Which bytes form a character is base/utf8.h's
// rule. Pure functions, any thread.

#ifndef QUILLO_QUERY_VISIBLE_TEXT_H_
#define QUILLO_QUERY_VISIBLE_TEXT_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace quillo {

// The control character `s` starts with: U+0000-U+001F, U+007F or
// U+0080-U+009F (as UTF-8); -1 when it starts with none.
int control_at(std::string_view s);

// Appends the character at `value[*pos]` to `out` as shown and moves
// `*pos` past it; returns the columns it takes (an escape one per byte,
// any other character one). Precondition: *pos < value.size().
int append_visible_char(std::string& out, std::string_view value,
                        std::size_t* pos);

// Appends all of `value` as shown.
void append_visible(std::string& out, std::string_view value);

// `value` as shown.
std::string visible(std::string_view value);

// The columns `value` takes as shown.
std::size_t visible_width(std::string_view value);

}  // namespace quillo

#endif  // QUILLO_QUERY_VISIBLE_TEXT_H_
