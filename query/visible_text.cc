#include "query/visible_text.h"

namespace quillo_query {
namespace {

constexpr char kHex[] = "0123456789abcdef";

unsigned char byte_at(std::string_view s, std::size_t i) {
  return static_cast<unsigned char>(s[i]);
}

}  // namespace

std::size_t utf8_length(std::string_view s) {
  if (s.empty()) return 0;
  const unsigned char c = byte_at(s, 0);
  if (c < 0x80) return 1;
  std::size_t n;
  unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (s.size() < n || byte_at(s, 1) < lo || byte_at(s, 1) > hi) return 0;
  for (std::size_t i = 2; i < n; ++i) {
    if ((byte_at(s, i) & 0xC0) != 0x80) return 0;
  }
  return n;
}

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
  const std::size_t n = utf8_length(rest);
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

}  // namespace quillo_query
