// quillod: takes system-log and access records over a local socket and
// writes them as dated CSV files; raises alert notices for matching
// accesses. Runs in the foreground, or detached with "-D"/"--daemon".
//
// Read from the environment once, here, before any thread starts:
//   QUILLO_ROOT            every fixed path is taken below this folder
//   QUILLO_SCRIPT_TIMEOUT  seconds a notification script may run (300)
//   QUILLO_ALERT_QUIET     seconds of the alert thread's wake-up interval
//                          and quiet period (60)
//   QUILLO_FORWARD_BACKOFF_MAX  ceiling in seconds of the forwarder's
//                          reconnect back-off (60; only lowers it)
//   QUILLO_SEAL_EPOCH_SECONDS  the seal epoch in seconds, in place of the
//                          configuration's minutes

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <libxml/parser.h>

#include "base/console.h"
#include "base/root_dir.h"
#include "daemon/request_loop.h"
#include "daemon/signals.h"
#include "notice/notice.h"
#include "paths/appliance_paths.h"
#include "protocol/listener.h"
#include "protocol/socket_path.h"

namespace quillo {
namespace {

// A positive whole number of seconds from the environment, or 0.
int seconds_from_env(const char* name) {
  const char* text = std::getenv(name);  // NOLINT(concurrency-mt-unsafe)
  if (text == nullptr) return 0;
  const int value = std::atoi(text);
  return value > 0 ? value : 0;
}

DaemonSettings settings_from_env() {
  DaemonSettings settings;
  const std::string root = base::root_from_env();
  settings.paths = quillo::MakePaths(root);
  settings.socket = quillo::socket_path(root);
  // Tests shorten the alert thread's minute.
  if (const int quiet = seconds_from_env("QUILLO_ALERT_QUIET")) {
    settings.alert_timing.wait_seconds = static_cast<unsigned>(quiet);
    settings.alert_timing.quiet_seconds = quiet;
  }
  // Tests shorten the wait before reconnecting to a collector.
  if (const int ceiling = seconds_from_env("QUILLO_FORWARD_BACKOFF_MAX")) {
    settings.forward_backoff_max =
        std::min(settings.forward_backoff_max, std::chrono::seconds(ceiling));
  }
  // Tests shorten the seal epoch.
  settings.seal_epoch =
      std::chrono::seconds(seconds_from_env("QUILLO_SEAL_EPOCH_SECONDS"));
  return settings;
}

}  // namespace
}  // namespace quillo

int main(int argc, char** argv) {
  const quillo::DaemonSettings settings = quillo::settings_from_env();
  if (settings.socket.size() > quillo::kMaxSocketPath) {
    base::complain("Error: socket path too long: " + settings.socket + "\n");
    return 2;
  }
  // Tests shorten the time a notification script may run.
  quillo::set_script_timeout(quillo::seconds_from_env("QUILLO_SCRIPT_TIMEOUT"));
  // Checked before detaching too, so that the caller sees the status.
  if (quillo::Listener(settings.socket).served_elsewhere()) {
    base::complain("Error: another quillod serves " + settings.socket + "\n");
    return 2;
  }
  try {
    if (argc > 1 && (std::strcmp(argv[1], "-D") == 0 ||
                     std::strcmp(argv[1], "--daemon") == 0)) {
      if (daemon(0, 0) != 0) throw std::runtime_error("daemon fail!");
    }
    quillo::install_signals();
    // libxml2 is set up once here, before the alert thread (which parses
    // the scripts' answers) starts.
    xmlInitParser();
    quillo::run_request_loop(settings);
  } catch (...) {
    base::complain_current_exception();
  }
  return 2;
}
