#include "client/stream_formats.h"

#include <string.h>

#include <cstddef>
#include <map>

#include "client/record_fit.h"

namespace quillo {
namespace {

constexpr char kTag[] = "smbd_audit";
constexpr int kMaxErrno = 200;
constexpr char kNulReason[] = "NUL byte in the line";

ParsedLine unparseable(const std::string& reason) {
  ParsedLine p;
  p.kind = ParsedLine::kUnparseable;
  p.reason = reason;
  return p;
}

// Splits `line` at tabs and undoes the escapes inside each field; false on
// an escape that is not one of the four.
bool split_fields(const std::string& line, std::vector<std::string>* out) {
  out->assign(1, std::string());
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\t') {
      out->emplace_back();
    } else if (c == '\\') {
      if (++i == line.size()) return false;
      switch (line[i]) {
        case 't':
          out->back() += '\t';
          break;
        case 'n':
          out->back() += '\n';
          break;
        case 'r':
          out->back() += '\r';
          break;
        case '\\':
          out->back() += '\\';
          break;
        default:
          return false;
      }
    } else {
      out->back() += c;
    }
  }
  return true;
}

std::string without_trailing_slash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// `path` relative to the share's folder `root`; the folder itself is ".".
// A path outside it is kept as Samba wrote it.
std::string relative_to(const std::string& root, const std::string& path) {
  const std::string clean = without_trailing_slash(path);
  if (clean == root) return ".";
  if (root == "/") return clean.size() > 1 ? clean.substr(1) : ".";
  if (clean.compare(0, root.size(), root) == 0 && clean.size() > root.size() &&
      clean[root.size()] == '/') {
    return clean.substr(root.size() + 1);
  }
  return path;
}

// Splits "OLD|NEW", both below `root`, at the "|" that starts the new
// name; the names themselves may hold "|".
bool split_rename(const std::string& args, const std::string& root,
                  std::string* from, std::string* to) {
  const std::string marker = "|" + root;
  for (std::size_t at = args.find(marker); at != std::string::npos;
       at = args.find(marker, at + 1)) {
    const std::size_t after = at + marker.size();
    if (after == args.size() || args[after] == '/' || root == "/") {
      *from = args.substr(0, at);
      *to = args.substr(at + 1);
      return true;
    }
  }
  const std::size_t bar = args.find('|');
  if (bar == std::string::npos) return false;
  *from = args.substr(0, bar);
  *to = args.substr(bar + 1);
  return true;
}

// Takes the text up to the next "|" from `rest` at `*pos`.
bool next_field(const std::string& rest, std::size_t* pos, std::string* out) {
  const std::size_t bar = rest.find('|', *pos);
  if (bar == std::string::npos) return false;
  *out = rest.substr(*pos, bar - *pos);
  *pos = bar + 1;
  return true;
}

// A record's fields travel as C strings: a NUL inside one would cut it
// short without a word, so such a line is reported instead.
bool holds_nul(const std::string& line) {
  return line.find('\0') != std::string::npos;
}

// Moves `*pos` past whatever a syslog template put before the tag, the tag,
// an optional "[pid]", the ":" and the blanks after it. Returns the reason
// when the tag is missing or malformed, else null.
const char* skip_tag(const std::string& line, std::size_t* pos) {
  const std::size_t tag = line.find(kTag);
  if (tag == std::string::npos) return "no smbd_audit tag";
  *pos = tag + sizeof kTag - 1;
  if (*pos < line.size() && line[*pos] == '[') {
    const std::size_t close = line.find(']', *pos);
    if (close == std::string::npos) return "bad tag";
    *pos = close + 1;
  }
  if (*pos >= line.size() || line[*pos] != ':') return "bad tag";
  ++*pos;
  while (*pos < line.size() && line[*pos] == ' ') ++*pos;
  return nullptr;
}

// The result's flag ("1" for ok, "0" for a failure) and error number (in
// decimal; "0" when the failure names no error Linux knows, which sets
// `*unknown_error_text`). False when the result is neither ok nor fail.
bool map_result(const std::string& result, std::string* flag,
                std::string* error_number, bool* unknown_error_text) {
  *error_number = "0";
  if (result == "ok") {
    *flag = "1";
    return true;
  }
  if (result.compare(0, 6, "fail (") == 0 && result.back() == ')') {
    *flag = "0";
    const int e = errno_from_text(result.substr(6, result.size() - 7));
    if (e == 0) *unknown_error_text = true;
    *error_number = std::to_string(e);
    return true;
  }
  if (result == "fail") {
    *flag = "0";
    *unknown_error_text = true;
    return true;
  }
  return false;
}

// The operation's record fields, or the reason why the line is not a
// record (kUnparseable) or not logged (kSkipped).
struct MappedOperation {
  ParsedLine::Kind kind = ParsedLine::kRecord;
  std::string reason;
  std::string operation;
  std::string path;
};

MappedOperation map_operation(const std::string& op, const std::string& args,
                              const std::string& root) {
  MappedOperation m;
  if (op == "openat" || op == "open") {
    if (args.size() < 2 || (args[0] != 'r' && args[0] != 'w') ||
        args[1] != '|') {
      m.kind = ParsedLine::kUnparseable;
      m.reason = "open without r| or w|";
      return m;
    }
    m.operation = "open";
    m.path = args.substr(0, 2) + relative_to(root, args.substr(2));
  } else if (op == "unlinkat") {
    m.operation = "delete";
    m.path = relative_to(root, args);
  } else if (op == "mkdirat") {
    m.operation = "mkdir";
    m.path = relative_to(root, args);
  } else if (op == "renameat") {
    std::string from, to;
    if (!split_rename(args, root, &from, &to)) {
      m.kind = ParsedLine::kUnparseable;
      m.reason = "rename without two names";
      return m;
    }
    m.operation = "rename";
    m.path = relative_to(root, from) + " -> " + relative_to(root, to);
  } else {
    m.kind = ParsedLine::kSkipped;
    m.reason = "operation " + op + " is not logged";
  }
  return m;
}

}  // namespace

int errno_from_text(const std::string& text) {
  static const std::map<std::string, int> table = [] {
    std::map<std::string, int> t;
    char buffer[256];
    for (int e = 1; e < kMaxErrno; ++e) {
      // GNU strerror_r; the process never sets a locale, so this is "C".
      const char* s = strerror_r(e, buffer, sizeof buffer);
      if (strncmp(s, "Unknown error", 13) != 0) t.emplace(s, e);
    }
    return t;
  }();
  const auto it = table.find(text);
  return it == table.end() ? 0 : it->second;
}

ParsedLine parse_fields_line(const std::string& line) {
  if (holds_nul(line)) return unparseable(kNulReason);
  std::vector<std::string> fields;
  if (!split_fields(line, &fields)) return unparseable("bad escape");
  ParsedLine p;
  if (fields[0] == "access" && fields.size() == 9) {
    p.record.access = true;
  } else if (fields[0] == "system" && fields.size() == 5) {
    p.record.access = false;
  } else {
    return unparseable("not a system or access record of 5 or 9 fields");
  }
  fields.erase(fields.begin());
  if (!p.record.access) {
    const std::string error = system_record_error(fields);
    if (!error.empty()) return unparseable(error);
  }
  p.kind = ParsedLine::kRecord;
  p.record.fields = std::move(fields);
  return p;
}

ParsedLine parse_samba_audit_line(const std::string& line) {
  if (holds_nul(line)) return unparseable(kNulReason);
  std::size_t pos = 0;
  if (const char* error = skip_tag(line, &pos)) return unparseable(error);
  std::string user, machine, ip, share, root, op, result;
  if (!next_field(line, &pos, &user) || !next_field(line, &pos, &machine) ||
      !next_field(line, &pos, &ip) || !next_field(line, &pos, &share) ||
      !next_field(line, &pos, &root) || !next_field(line, &pos, &op)) {
    return unparseable("fewer fields than the prefix and operation");
  }
  // The result has no "|" of its own; the arguments may lack altogether.
  std::string args;
  if (!next_field(line, &pos, &result)) {
    result = line.substr(pos);
  } else {
    args = line.substr(pos);
  }
  root = without_trailing_slash(root);

  ParsedLine p;
  p.record.access = true;
  std::string result_flag, error_number;
  if (!map_result(result, &result_flag, &error_number,
                  &p.unknown_error_text)) {
    return unparseable("result is neither ok nor fail");
  }
  MappedOperation mapped = map_operation(op, args, root);
  if (mapped.kind == ParsedLine::kUnparseable) {
    return unparseable(mapped.reason);
  }
  if (mapped.kind == ParsedLine::kSkipped) {
    p.kind = ParsedLine::kSkipped;
    p.reason = std::move(mapped.reason);
    return p;
  }
  p.kind = ParsedLine::kRecord;
  p.record.fields = {user,        machine,      ip,    mapped.operation,
                     result_flag, error_number, share, mapped.path};
  return p;
}

}  // namespace quillo
