// Request documents of the notification scripts. Each template is kept as
// the fixed pieces around its fields and filled by concatenation, so no text
// that reaches a script is ever used as a format.

#include "notice/notice.h"

#include <stdexcept>
#include <string>
#include <string_view>

#include "base/utf8.h"

namespace quillo {
namespace {

constexpr char kRequestOpen[] = "<request><entrylist>";
constexpr char kRequestClose[] = "</entrylist></request>";

constexpr char kEventlogOpen[] = "<entry type=\"add\"><eventlog><log><code>";
constexpr char kEventlogMiddle[] = "</code>";
constexpr char kEventlogClose[] = "</log></eventlog></entry>";

constexpr char kArgListOpen[] = "<arglist>";
constexpr char kArgListClose[] = "</arglist>";

constexpr char kArgOpen[] = "<arg name=\"";
constexpr char kArgMiddle[] = "\">";
constexpr char kArgClose[] = "</arg>";

constexpr char kMailOpen[] =
    "<entry type=\"send\"><mailsend><mailconf profilenum=\"";
constexpr char kMailSubject[] = "\"/><message><header><subject>";
constexpr char kMailBody[] = "</subject></header><body>";
constexpr char kMailClose[] = "</body></message></mailsend></entry>";

constexpr char kBuzzerOpen[] = "<entry type=\"play\"><buzzer><melody type=\"";
constexpr char kBuzzerClose[] = "\"/></buzzer></entry>";

// Melody names by melody number.
constexpr char kMelodyOk[] = "ok";        // 0
constexpr char kMelodyError[] = "error";  // 1

}  // namespace

std::string xml_escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string xml_safe_text(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 && c != '\t') {
      out += '#';
      out += static_cast<char>('0' + (c >> 6));
      out += static_cast<char>('0' + ((c >> 3) & 7));
      out += static_cast<char>('0' + (c & 7));
      ++i;
      continue;
    }
    const std::size_t n = base::utf8_length(std::string_view(text).substr(i));
    if (n == 0) {
      out += base::kReplacementCharacter;
      ++i;
      continue;
    }
    // U+FFFE and U+FFFF: EF BF BE and EF BF BF, not XML characters.
    if (n == 3 && c == 0xEF &&
        static_cast<unsigned char>(text[i + 1]) == 0xBF &&
        static_cast<unsigned char>(text[i + 2]) >= 0xBE) {
      out += base::kReplacementCharacter;
    } else {
      out.append(text, i, n);
    }
    i += n;
  }
  return out;
}

std::string make_eventlog_entry(
    const std::string& code, const std::map<std::string, std::string>& args) {
  std::string arg_list;
  for (const auto& [name, value] : args) {  // std::map: ascending names
    arg_list += kArgOpen;
    arg_list += name;
    arg_list += kArgMiddle;
    arg_list += xml_escape(xml_safe_text(value));
    arg_list += kArgClose;
  }
  if (!arg_list.empty()) {
    arg_list = kArgListOpen + arg_list + kArgListClose;
  }
  return kEventlogOpen + code + kEventlogMiddle + arg_list + kEventlogClose;
}

std::string make_buzzer_entry(int melody) {
  const char* name = nullptr;
  switch (melody) {
    case 0:
      name = kMelodyOk;
      break;
    case 1:
      name = kMelodyError;
      break;
    default:
      throw std::invalid_argument("unknown melody " + std::to_string(melody));
  }
  return kBuzzerOpen + std::string(name) + kBuzzerClose;
}

std::string make_mail_entry(int profile_number, const std::string& subject,
                            const std::string& body) {
  return kMailOpen + std::to_string(profile_number) + kMailSubject + subject +
         kMailBody + body + kMailClose;
}

std::string fill_mail_body(const std::string& body,
                           const std::string& address) {
  std::string out;
  out.reserve(body.size() + address.size());
  for (std::size_t i = 0; i < body.size(); ++i) {
    if (body[i] == '%' && i + 1 < body.size()) {
      if (body[i + 1] == 's') {
        out += address;
        ++i;
        continue;
      }
      if (body[i + 1] == '%') {
        out += '%';
        ++i;
        continue;
      }
    }
    out += body[i];
  }
  return out;
}

std::string make_request(const std::string& entry) {
  return kRequestOpen + entry + kRequestClose;
}

}  // namespace quillo
