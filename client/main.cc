// quillo-send: hands one log record to quillod and reports by its exit
// status whether the daemon took it; with --stream, hands it every record
// of its standard input.
//
//   0 taken; 1 command-line error; 2 other error; 3 no connection;
//   4 sending failed; 5 no answer, or an unknown answer; 6 the daemon
//   answered that it could not store the record.
//
// The whole run is bounded (kRunTimeout) so that a hung daemon never hangs
// the software that calls this command.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

#include "base/root_dir.h"
#include "client/options.h"
#include "client/record_fit.h"
#include "client/sender.h"
#include "client/stream.h"
#include "protocol/socket_path.h"

namespace quillo {
namespace {

constexpr std::chrono::seconds kRunTimeout{30};

int send_main(int argc, char** argv) {
  const std::string socket_path = quillo::socket_path(base::root_from_env());
  if (socket_path.size() > quillo::kMaxSocketPath) {
    std::fprintf(stderr, "Error: socket path too long: %s\n",
                 socket_path.c_str());
    return 3;
  }
  try {
    const CommandLine cl = parse_command_line(argc, argv, stdout);
    if (cl.done) return 0;
    if (cl.stream) {
      return run_stream(cl, socket_path, STDIN_FILENO, stdout, stderr);
    }
    const int status = send_record(
        socket_path, *build_record(cl.kind == CommandLine::Access, cl.log_data),
        kRunTimeout);
    if (status == kSendNotStored) {
      std::fputs("Error: record not stored\n", stderr);
    }
    return status;
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "Error: %s\n", e.what());
    return 1;
  } catch (const std::length_error& e) {
    std::fprintf(stderr, "Error: %s\n", e.what());
    return 2;
  } catch (...) {
    std::fputs("Error: unknown exception\n", stderr);
    return 2;
  }
}

}  // namespace
}  // namespace quillo

int main(int argc, char** argv) { return quillo::send_main(argc, argv); }
