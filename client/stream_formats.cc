#include "client/stream_formats.h"

#include <string.h>

#include <cstddef>
#include <map>

#include "client/record_fit.h"

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
  // Whatever a syslog template put before the tag goes, with the tag, an
  // optional "[pid]", the ":" and the blank after it.
  const std::size_t tag = line.find(kTag);
  if (tag == std::string::npos) return unparseable("no smbd_audit tag");
  std::size_t pos = tag + sizeof kTag - 1;
  if (pos < line.size() && line[pos] == '[') {
    const std::size_t close = line.find(']', pos);
    if (close == std::string::npos) return unparseable("bad tag");
    pos = close + 1;
  }
  if (pos >= line.size() || line[pos] != ':') return unparseable("bad tag");
  ++pos;
  while (pos < line.size() && line[pos] == ' ') ++pos;

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
  std::string error_number = "0";
  std::string result_flag;
  if (result == "ok") {
    result_flag = "1";
  } else if (result.compare(0, 6, "fail (") == 0 && result.back() == ')') {
    result_flag = "0";
    const int e = errno_from_text(result.substr(6, result.size() - 7));
    if (e == 0) p.unknown_error_text = true;
    error_number = std::to_string(e);
  } else if (result == "fail") {
    result_flag = "0";
    p.unknown_error_text = true;
  } else {
    return unparseable("result is neither ok nor fail");
  }

  std::string operation;
  std::string path;
  if (op == "openat" || op == "open") {
    if (args.size() < 2 || (args[0] != 'r' && args[0] != 'w') ||
        args[1] != '|') {
      return unparseable("open without r| or w|");
    }
    operation = "open";
    path = args.substr(0, 2) + relative_to(root, args.substr(2));
  } else if (op == "unlinkat") {
    operation = "delete";
    path = relative_to(root, args);
  } else if (op == "mkdirat") {
    operation = "mkdir";
    path = relative_to(root, args);
  } else if (op == "renameat") {
    std::string from, to;
    if (!split_rename(args, root, &from, &to)) {
      return unparseable("rename without two names");
    }
    operation = "rename";
    path = relative_to(root, from) + " -> " + relative_to(root, to);
  } else {
    p.kind = ParsedLine::kSkipped;
    p.reason = "operation " + op + " is not logged";
    return p;
  }
  p.kind = ParsedLine::kRecord;
  p.record.fields = {user,        machine,      ip,    operation,
                     result_flag, error_number, share, path};
  return p;
}
