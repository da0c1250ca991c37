// quillod: takes system-log and access records over a local socket and
// writes them as dated CSV files; raises alert notices for matching
// accesses. Runs in the foreground, or detached with "-D"/"--daemon".

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <libxml/parser.h>

#include "daemon/console.h"
#include "daemon/counters.h"
#include "daemon/request_loop.h"
#include "notice/notice.h"
#include "protocol/paths.h"

namespace {

void on_hangup(int) { g_reload_requested = 1; }

void install_signals() {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);

  struct sigaction hangup {};
  hangup.sa_handler = on_hangup;
  sigemptyset(&hangup.sa_mask);
  hangup.sa_flags = SA_RESTART;  // accept() goes on waiting
  sigaction(SIGHUP, &hangup, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  quillo::InitPaths();
  const std::string& socket_path = quillo::Paths().socket;
  if (socket_path.size() > quillo::kMaxSocketPath) {
    complain("Error: socket path too long: " + socket_path + "\n");
    return 2;
  }
  try {
    if (argc > 1 && (std::strcmp(argv[1], "-D") == 0 ||
                     std::strcmp(argv[1], "--daemon") == 0)) {
      if (daemon(0, 0) != 0) throw std::runtime_error("daemon fail!");
    }
    install_signals();
    install_counter_dump(quillo::Paths().state_dir + "/quillod.stats");
    // Tests shorten the time a notification script may run.
    if (const char* bound = std::getenv("QUILLO_SCRIPT_TIMEOUT")) {  // NOLINT(concurrency-mt-unsafe)
      set_script_timeout(std::atoi(bound));
    }
    // libxml2 is set up once here, before the alert thread (which parses
    // the scripts' answers) starts.
    xmlInitParser();
    run_request_loop();
  } catch (...) {
    complain_current_exception();
  }
  return 2;
}
