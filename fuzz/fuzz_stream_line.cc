// Fuzzes one input line of `quillo-send --stream` on its way to the daemon:
// byte 0 picks the format (even: fields, odd: samba-audit), the rest is the
// line. The line is either reported (skipped or unparseable, with a reason)
// or gives a record with the kind's field count; a samba-audit record holds
// a mapped operation, a 1/0 result and a decimal error number, and a
// fields record written back with its escapes parses to the same fields.
// The record is then fitted and built as quillo-send sends it; its entries
// must add up to at most kMaxBody bytes, and the frame, read back from a
// socket pair by the protocol's own FrameReader, must be a well-formed
// record of exactly the fitted fields. A fitted field is the parsed one or
// a head of it cut on a character boundary followed by "...": a record is
// sent whole or reported, never in part.

#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/big_endian.h"
#include "base/unique_fd.h"
#include "client/record_fit.h"
#include "client/stream_formats.h"
#include "protocol/frame_reader.h"
#include "protocol/packet.h"

using quillo::build_record;
using quillo::fit_access_fields;
using quillo::fit_system_fields;
using quillo::parse_fields_line;
using quillo::parse_samba_audit_line;
using quillo::ParsedLine;

namespace {

struct SocketPair {
  base::UniqueFd writer, reader;
  SocketPair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) abort();
    writer.reset(fds[0]);
    reader.reset(fds[1]);
  }
};

bool all_digits(const std::string& s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::string escaped(const std::string& field) {
  std::string out;
  for (char c : field) {
    if (c == '\t')
      out += "\\t";
    else if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else if (c == '\\')
      out += "\\\\";
    else
      out += c;
  }
  return out;
}

// `fitted` is `parsed`, or a head of it ending on a character boundary
// and followed by "...". An empty head is a boundary whatever follows it,
// stray continuation bytes too.
bool honest_cut(const std::string& parsed, const std::string& fitted) {
  if (fitted == parsed) return true;
  if (fitted.size() < 3 || fitted.compare(fitted.size() - 3, 3, "...") != 0) {
    return false;
  }
  const std::size_t head = fitted.size() - 3;
  return head < parsed.size() &&
         parsed.compare(0, head, fitted, 0, head) == 0 &&
         (head == 0 ||
          (static_cast<unsigned char>(parsed[head]) & 0xC0) != 0x80);
}

void check_samba_record(const ParsedLine& p) {
  const std::vector<std::string>& f = p.record.fields;
  const std::string& op = f[3];
  if (op != "open" && op != "delete" && op != "rename" && op != "mkdir")
    abort();
  if (f[4] != "1" && f[4] != "0") abort();
  if (!all_digits(f[5])) abort();
  if (f[4] == "1" && (f[5] != "0" || p.unknown_error_text)) abort();
  if (p.unknown_error_text && f[5] != "0") abort();
  if (op == "open" && f[7].compare(0, 2, "r|") != 0 &&
      f[7].compare(0, 2, "w|") != 0) {
    abort();
  }
  if (op == "rename" && f[7].find(" -> ") == std::string::npos) abort();
}

// Sends the built body through the socket pair and reads it back.
void read_back(const quillo::RequestData& built, quillo::RequestData* got) {
  static SocketPair pair;
  std::string frame(2, '\0');
  base::put_be16(reinterpret_cast<unsigned char*>(&frame[0]), built.size);
  frame.append(reinterpret_cast<const char*>(built.data.get()), built.size);
  if (::write(pair.writer.get(), frame.data(), frame.size()) !=
      static_cast<ssize_t>(frame.size())) {
    abort();
  }
  quillo::FrameReader reader;
  if (reader.read(pair.reader.get(), *got) !=
      quillo::FrameReader::Status::kDone)
    abort();
  got->reload_entry();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool samba = data[0] & 1;
  const std::string line(reinterpret_cast<const char*>(data + 1), size - 1);
  const ParsedLine p =
      samba ? parse_samba_audit_line(line) : parse_fields_line(line);
  if (p.kind != ParsedLine::kRecord) {
    if (p.reason.empty()) abort();  // reported lines say why
    return 0;
  }
  const std::vector<std::string>& fields = p.record.fields;
  if (fields.size() != (p.record.access ? 8u : 4u)) abort();
  if (samba) {
    if (!p.record.access) abort();
    check_samba_record(p);
  } else {
    std::string again = p.record.access ? "access" : "system";
    for (const std::string& f : fields) again += "\t" + escaped(f);
    const ParsedLine q = parse_fields_line(again);
    if (q.kind != ParsedLine::kRecord || q.record.access != p.record.access ||
        q.record.fields != fields) {
      abort();
    }
  }

  std::vector<std::string> fitted = fields;
  p.record.access ? fit_access_fields(fitted) : fit_system_fields(fitted);
  // The type entry, then a string entry (length, bytes, NUL) per field but
  // RESULT and ERRNO, which travel as a 2-byte and a 4-byte number.
  std::size_t body = 2 + 2;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const bool number = p.record.access && (i == 4 || i == 5);
    const bool kept = number || (!p.record.access && i == 0);
    if (kept ? fitted[i] != fields[i] : !honest_cut(fields[i], fitted[i])) {
      abort();
    }
    body += number ? 2 + (i == 4 ? 2 : 4) : 2 + fitted[i].size() + 1;
  }
  if (body > quillo::kMaxBody) abort();

  const auto built = build_record(p.record.access, fields);
  if (built->size != body) abort();
  quillo::RequestData got;
  read_back(*built, &got);
  if (p.record.access) {
    const quillo::ReqAccessLog r(got);
    if (!r.well_formed()) abort();
    const std::vector<std::string> sent{
        r.user_name(), r.host_name(), r.ip_address(), r.operation(),
        fitted[4],     fitted[5],     r.share_name(), r.path()};
    if (sent != fitted) abort();
    // Read with base 0 and kept to the low 16 bits, as documented.
    if (r.result() != (std::strtoul(fitted[4].c_str(), nullptr, 0) & 0xffff) ||
        r.error_number() != (static_cast<unsigned long>(
                                 std::strtol(fitted[5].c_str(), nullptr, 0)) &
                             0xffff)) {
      abort();
    }
  } else {
    const quillo::ReqSystemLog r(got);
    if (!r.well_formed()) abort();
    const std::vector<std::string> sent{r.time(), r.text1(), r.text2(),
                                        r.text3()};
    if (sent != fitted) abort();
  }
  return 0;
}
