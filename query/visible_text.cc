#include "query/visible_text.h"

#include "base/utf8.h"

namespace quillo {
namespace {

constexpr char kHex[] = "0123456789abcdef";

unsigned char byte_at(std::string_view s, std::size_t i) {
  return static_cast<unsigned char>(s[i]);
}

}  // namespace

int control_at(std::string_view s) {
  if (s.empty()) return -1;
  const unsigned char c = byte_at(s, 0);
  if (c < 0x20 || c == 0x7F) return c;
  // U+0080-U+009F is C2 80 to C2 9F.
  if (c == 0xC2 && s.size() >= 2 && byte_at(s, 1) >= 0x80 &&
      byte_at(s, 1) <= 0x9F) {
    return byte_at(s, 1);
  }
  return -1;
}

int append_visible_char(std::string& out, std::string_view value,
                        std::size_t* pos) {
  const std::string_view rest = value.substr(*pos);
  const std::size_t n = base::utf8_length(rest);
  const unsigned char c = byte_at(rest, 0);
  const int control = control_at(rest);
  if (n == 0 || (n == 1 && control >= 0)) {
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 15];
    *pos += 1;
    return 4;
  }
  if (control >= 0) {
    out += "\\u00";
    out += kHex[control >> 4];
    out += kHex[control & 15];
    *pos += n;
    return 6;
  }
  if (c == '\\') {
    out += "\\\\";
    *pos += 1;
    return 2;
  }
  out.append(rest.data(), n);
  *pos += n;
  return 1;
}

void append_visible(std::string& out, std::string_view value) {
  for (std::size_t i = 0; i < value.size();) {
    append_visible_char(out, value, &i);
  }
}

std::string visible(std::string_view value) {
  std::string out;
  append_visible(out, value);
  return out;
}

std::size_t visible_width(std::string_view value) {
  std::string scratch;
  std::size_t columns = 0;
  for (std::size_t i = 0; i < value.size();) {
    columns +=
        static_cast<std::size_t>(append_visible_char(scratch, value, &i));
    scratch.clear();
  }
  return columns;
}

}  // namespace quillo
