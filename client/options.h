// Command line of quillo-send:
//   quillo-send [-hV] [--system|--access] LOG_DATA ...
//   quillo-send --stream [--format=fields|samba-audit] [--confirm]
//               [--transactions]
// (the help text keeps its two lines: --transactions is for rsyslog's
// configuration, not typed by hand)

#ifndef QUILLO_CLIENT_OPTIONS_H_
#define QUILLO_CLIENT_OPTIONS_H_

#include <cstdio>
#include <string>
#include <vector>

namespace quillo {

inline constexpr char kClientVersion[] = "0.01";

struct CommandLine {
  enum Kind { None = 0, Access = 1, System = 2 };

  std::string version = kClientVersion;
  int kind = None;
  std::vector<std::string> log_data;
  // --stream: records from standard input, one per line.
  bool stream = false;
  enum Format { Fields = 0, SambaAudit = 1 };
  int format = Fields;
  bool confirm = false;  // rsyslog omprog's confirmation on standard output
  // omprog's transaction marks in the input (useTransactions="on").
  bool transactions = false;
  // Set when "-h" or "-V" was met and its text printed; nothing is sent.
  bool done = false;
};

// Scans the arguments. Prints the help or version text to `out` (flushed)
// when asked, and stops scanning there. Raises std::invalid_argument with
// "invalid argument!!" (no arguments, no kind, an unknown --format, or
// --stream with a kind or LOG_DATA) or "too few argument!!".
CommandLine parse_command_line(int argc, const char* const* argv,
                               std::FILE* out);

}  // namespace quillo

#endif  // QUILLO_CLIENT_OPTIONS_H_
