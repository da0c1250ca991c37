#include "client/options.h"

#include <cstring>
#include <stdexcept>
#include <string>

#include "client/record_fit.h"

namespace quillo {
namespace {

bool is(const char* arg, const char* short_form, const char* long_form) {
  return std::strcmp(arg, short_form) == 0 || std::strcmp(arg, long_form) == 0;
}

}  // namespace

CommandLine parse_command_line(int argc, const char* const* argv,
                               std::FILE* out) {
  if (argc < 2) throw std::invalid_argument("invalid argument!!");
  CommandLine cl;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (is(arg, "-h", "--help")) {
      std::fprintf(out,
                   "%s [-hV] [--system|--access] LOG_DATA ...\n"
                   "%s --stream [--format=fields|samba-audit] [--confirm]\n",
                   argv[0], argv[0]);
      std::fflush(out);
      cl.done = true;
      return cl;
    }
    if (is(arg, "-V", "--version")) {
      std::fprintf(out, "%s : Ver.%s\n", argv[0], cl.version.c_str());
      std::fflush(out);
      cl.done = true;
      return cl;
    }
    if (std::strcmp(arg, "--stream") == 0) {
      cl.stream = true;
    } else if (std::strcmp(arg, "--confirm") == 0) {
      cl.confirm = true;
    } else if (std::strcmp(arg, "--transactions") == 0) {
      cl.transactions = true;
    } else if (std::strcmp(arg, "--format=fields") == 0) {
      cl.format = CommandLine::Fields;
    } else if (std::strcmp(arg, "--format=samba-audit") == 0) {
      cl.format = CommandLine::SambaAudit;
    } else if (std::strncmp(arg, "--format=", 9) == 0) {
      throw std::invalid_argument("invalid argument!!");
    } else if (is(arg, "-a", "--access")) {
      cl.kind = CommandLine::Access;
    } else if (is(arg, "-s", "--system")) {
      cl.kind = CommandLine::System;
    } else {
      cl.log_data.emplace_back(arg);
    }
  }
  if (cl.stream) {
    if (cl.kind != CommandLine::None || !cl.log_data.empty()) {
      throw std::invalid_argument("invalid argument!!");
    }
    return cl;
  }
  if (cl.kind == CommandLine::None) {
    throw std::invalid_argument("invalid argument!!");
  }
  const std::size_t needed = cl.kind == CommandLine::Access ? 8 : 4;
  if (cl.log_data.size() < needed) {
    throw std::invalid_argument("too few argument!!");
  }
  if (cl.kind == CommandLine::System) {
    const std::string error = system_record_error(cl.log_data);
    if (!error.empty()) throw std::invalid_argument(error);
  }
  return cl;
}

}  // namespace quillo
