// quillo-send: hands one log record to quillod and reports by its exit
// status whether the daemon took it.
//
//   0 taken; 1 command-line error; 2 other error; 3 no connection;
//   4 sending failed; 5 no answer, or an unknown answer; 6 the daemon
//   answered that it could not store the record.
//
// The whole run is bounded (kRunTimeout) so that a hung daemon never hangs
// the software that calls this command.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

#include "base/root_dir.h"
#include "client/options.h"
#include "protocol/connection.h"
#include "protocol/packet.h"
#include "protocol/socket_path.h"

namespace {

constexpr std::chrono::seconds kRunTimeout{30};

std::unique_ptr<quillo::RequestData> build_record(const CommandLine& cl) {
  const auto& d = cl.log_data;
  if (cl.kind == CommandLine::Access) {
    // Base 0 (decimal, 0x hexadecimal, leading 0 octal), no error
    // detection; the record keeps the low 16 bits, so -1 sends 65535.
    const unsigned long result = std::strtoul(d[4].c_str(), nullptr, 0);
    const long error_number = std::strtol(d[5].c_str(), nullptr, 0);
    return std::make_unique<quillo::ReqAccessLog>(
        d[0].c_str(), d[1].c_str(), d[2].c_str(), d[3].c_str(),
        static_cast<int>(result & 0xffff),
        static_cast<std::uint16_t>(error_number & 0xffff), d[6].c_str(),
        d[7].c_str());
  }
  return std::make_unique<quillo::ReqSystemLog>(d[0].c_str(), d[1].c_str(),
                                                d[2].c_str(), d[3].c_str());
}

int send_record(const std::string& socket_path, const CommandLine& cl) {
  quillo::Connection connection(socket_path);
  connection.set_deadline(std::chrono::steady_clock::now() + kRunTimeout);
  quillo::ResultData result;
  if (connection.connect() != 0) return 3;
  if (connection.send(*build_record(cl)) != 0) return 4;
  if (connection.receive(result) != 0) return 5;
  if (result.code() == quillo::kResultAccepted) return 0;
  if (result.code() == quillo::kResultNotStored) {
    std::fputs("Error: record not stored\n", stderr);
    return 6;
  }
  return 5;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string socket_path = quillo::socket_path(base::root_from_env());
  if (socket_path.size() > quillo::kMaxSocketPath) {
    std::fprintf(stderr, "Error: socket path too long: %s\n",
                 socket_path.c_str());
    return 3;
  }
  try {
    const CommandLine cl = parse_command_line(argc, argv, stdout);
    if (cl.done) return 0;
    return send_record(socket_path, cl);
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "Error: %s\n", e.what());
    return 1;
  } catch (...) {
    std::fputs("Error: unknown exception\n", stderr);
    return 2;
  }
}
