#include "daemon/request_loop.h"

#include <time.h>

#include <memory>
#include <stdexcept>

#include "daemon/console.h"
#include "protocol/connection.h"
#include "protocol/packet.h"
#include "protocol/paths.h"

volatile std::sig_atomic_t g_reload_requested = 0;

namespace {

// Pause after a failed accept, so that a socket that cannot be set up does
// not spin a core and flood standard error.
constexpr timespec kAcceptRetryPause{1, 0};

class RequestLoop {
 public:
  RequestLoop() : listener_(quillo::Paths().socket) {}

  void start() {}

  [[noreturn]] void run() {
    for (;;) {
      const int fd = listener_.accept();
      if (fd < 0) {
        complain("Accept fail!!\n");
        nanosleep(&kAcceptRetryPause, nullptr);
        continue;
      }
      quillo::Connection peer(fd);
      try {
        if (g_reload_requested) reload();
        serve(peer);
      } catch (...) {
        complain_current_exception();
      }
    }
  }

 private:
  void reload() {
    say("Reload config");
    g_reload_requested = 0;
  }

  void serve(quillo::Connection& peer) {
    peer.set_deadline(std::chrono::steady_clock::now() + kRequestTimeout);
    quillo::RequestData request;
    const int received = peer.receive(request);
    if (request.size == 0) {
      complain("No data request!! Ignore.\n");
      return;
    }
    if (received != 0) {
      complain("Incomplete request!! Ignore.\n");
      return;
    }
    request.reload_entry();
    const int type = request.type_code();
    if (type < 0) {
      complain("Malformed request!! Ignore.\n");
      return;
    }
    if (type == static_cast<int>(quillo::RequestType::SystemLog)) {
      say("system log request received.\n");
      const quillo::ReqSystemLog record(request);
      if (!record.well_formed()) {
        complain("Malformed request!! Ignore.\n");
        return;
      }
    } else if (type == static_cast<int>(quillo::RequestType::AccessLog)) {
      say("access log request received.\n");
      const quillo::ReqAccessLog record(request);
      if (!record.well_formed()) {
        complain("Malformed request!! Ignore.\n");
        return;
      }
    } else {
      complain("Invalid request type!! Ignore.\n");
    }
    peer.send(quillo::ResultData(quillo::kResultAccepted));
  }

  quillo::Connection listener_;
};

}  // namespace

void run_request_loop() {
  RequestLoop loop;
  loop.start();
  loop.run();
}
