#include "fuzz/rfc5424_reader.h"

#include <glib.h>

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

// A cursor over the message; every reader consumes only on success.
class Cursor {
 public:
  explicit Cursor(std::string_view text) : text_(text) {}

  bool at_end() const { return pos_ == text_.size(); }
  std::string_view rest() const { return text_.substr(pos_); }

  bool take(char c) {
    if (at_end() || text_[pos_] != c) return false;
    ++pos_;
    return true;
  }

  // Exactly `n` digits as a number within [lo, hi].
  bool number(std::size_t n, int lo, int hi, int* out) {
    if (text_.size() - pos_ < n) return false;
    int v = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const char c = text_[pos_ + i];
      if (c < '0' || c > '9') return false;
      v = v * 10 + (c - '0');
    }
    if (v < lo || v > hi) return false;
    pos_ += n;
    *out = v;
    return true;
  }

  // 1 to `max` printable US-ASCII characters (33-126), none of `except`.
  bool name(std::size_t max, std::string_view except, std::string* out) {
    std::size_t end = pos_;
    while (end < text_.size() && end - pos_ < max + 1 && text_[end] >= 33 &&
           text_[end] <= 126 && except.find(text_[end]) == std::string::npos) {
      ++end;
    }
    if (end == pos_ || end - pos_ > max) return false;
    out->assign(text_.substr(pos_, end - pos_));
    pos_ = end;
    return true;
  }

  // A header field: a name of at most `max` characters followed by SP.
  bool field(std::size_t max, std::string* out) {
    return name(max, "", out) && take(' ');
  }

  // '"' PARAM-VALUE '"', unescaped into `*out`.
  bool param_value(std::string* out) {
    if (!take('"')) return false;
    out->clear();
    for (;;) {
      if (at_end()) return false;
      const char c = text_[pos_++];
      if (c == '"') break;
      if (c == ']') return false;
      if (c == '\\') {
        if (at_end()) return false;
        const char e = text_[pos_++];
        if (e != '"' && e != '\\' && e != ']') return false;
        *out += e;
      } else {
        *out += c;
      }
    }
    return g_utf8_validate(out->data(), static_cast<gssize>(out->size()),
                           nullptr);
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

int days_in_month(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

bool priority(Cursor& c, int* out) {
  if (!c.take('<')) return false;
  int v = 0;
  std::size_t digits = 0;
  for (; digits < 4 && !c.at_end() && c.rest()[0] >= '0' && c.rest()[0] <= '9';
       ++digits) {
    if (digits == 1 && v == 0) return false;  // a leading zero
    v = v * 10 + (c.rest()[0] - '0');
    c.take(c.rest()[0]);
  }
  if (digits == 0 || digits > 3 || v > 191) return false;
  *out = v;
  return c.take('>');
}

bool timestamp(Cursor& c, Rfc5424Message* m) {
  if (c.take('-')) {
    m->timestamp = "-";
    return c.take(' ');
  }
  const std::string_view start = c.rest();
  if (!c.number(4, 0, 9999, &m->year) || !c.take('-') ||
      !c.number(2, 1, 12, &m->month) || !c.take('-') ||
      !c.number(2, 1, days_in_month(m->year, m->month), &m->day) ||
      !c.take('T') || !c.number(2, 0, 23, &m->hour) || !c.take(':') ||
      !c.number(2, 0, 59, &m->minute) || !c.take(':') ||
      !c.number(2, 0, 59, &m->second)) {
    return false;
  }
  if (c.take('.')) {
    int digits = 0;
    for (int unused; digits < 7 && c.number(1, 0, 9, &unused);) ++digits;
    if (digits == 0 || digits > 6) return false;
  }
  if (!c.take('Z')) {
    const bool minus = c.take('-');
    if (!minus && !c.take('+')) return false;
    int h, mm;
    if (!c.number(2, 0, 23, &h) || !c.take(':') || !c.number(2, 0, 59, &mm)) {
      return false;
    }
    m->offset_seconds = (minus ? -1 : 1) * (h * 3600 + mm * 60);
  }
  m->timestamp.assign(start.substr(0, start.size() - c.rest().size()));
  return c.take(' ');
}

bool element(Cursor& c, Rfc5424Message::Element* e) {
  constexpr std::string_view kNotInName = "= ]\"";
  if (!c.take('[') || !c.name(32, kNotInName, &e->id)) return false;
  while (c.take(' ')) {
    std::pair<std::string, std::string> param;
    if (!c.name(32, kNotInName, &param.first) || !c.take('=') ||
        !c.param_value(&param.second)) {
      return false;
    }
    e->params.push_back(std::move(param));
  }
  return c.take(']');
}

}  // namespace

bool read_rfc5424(std::string_view text, Rfc5424Message* out) {
  Cursor c(text);
  *out = Rfc5424Message();
  if (!priority(c, &out->priority) || !c.number(1, 1, 9, &out->version)) {
    return false;
  }
  int more;  // VERSION is a non-zero digit and up to two more
  for (int i = 0; i < 2 && c.number(1, 0, 9, &more); ++i) {
    out->version = out->version * 10 + more;
  }
  if (!c.take(' ') || !timestamp(c, out) || !c.field(255, &out->hostname) ||
      !c.field(48, &out->app_name) || !c.field(128, &out->procid) ||
      !c.name(32, "", &out->msgid) || !c.take(' ')) {
    return false;
  }
  if (!c.take('-')) {
    do {
      Rfc5424Message::Element e;
      if (!element(c, &e)) return false;
      for (const Rfc5424Message::Element& seen : out->elements) {
        if (seen.id == e.id) return false;  // an SD-ID appears once
      }
      out->elements.push_back(std::move(e));
    } while (!c.at_end() && c.rest()[0] == '[');
  }
  if (c.at_end()) return true;
  if (!c.take(' ')) return false;
  out->has_msg = true;
  out->msg.assign(c.rest());
  return out->msg.compare(0, kBom.size(), kBom) != 0 ||
         g_utf8_validate(out->msg.data(), static_cast<gssize>(out->msg.size()),
                         nullptr);
}
