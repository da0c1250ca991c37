#include "daemon/request_loop.h"

#include <time.h>

#include <memory>
#include <stdexcept>

#include "alert/alert_thread.h"
#include "config/config_xml.h"
#include "daemon/access_log.h"
#include "daemon/console.h"
#include "daemon/counters.h"
#include "daemon/system_log.h"
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
  // Created in this order, destroyed in reverse: the configuration, the
  // listening connection (no socket until the first accept), the alert
  // thread (not started; destroying it then joins nothing).
  RequestLoop()
      : config_(std::make_unique<ConfigXml>()),
        listener_(quillo::Paths().socket) {}

  // Loads the configuration and starts the alert thread. A failure to load
  // leaves by exception.
  void start() {
    config_->load();
    alerts_.start();
  }

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
        // The connection closes without an answer.
        complain_current_exception();
      }
    }
  }

 private:
  // A failed reload keeps the configuration in force: the new file is
  // parsed into a fresh document, which replaces the old one only when it
  // loaded. The error is printed as any error of a pass, and the accepted
  // request is then served with the configuration kept.
  void reload() {
    say("Reload config");
    g_reload_requested = 0;
    try {
      auto fresh = std::make_unique<ConfigXml>();
      fresh->load();
      config_ = std::move(fresh);
    } catch (...) {
      complain_current_exception();
    }
  }

  void serve(quillo::Connection& peer) {
    peer.set_deadline(std::chrono::steady_clock::now() + kRequestTimeout);
    quillo::RequestData request;
    const int received = peer.receive(request);
    if (request.size == 0) {
      complain("No data request!! Ignore.\n");
      counters().requests_malformed++;
      return;
    }
    if (received != 0) {
      complain("Incomplete request!! Ignore.\n");
      counters().requests_malformed++;
      return;
    }
    if (!dispatch(request)) return;
    peer.send(quillo::ResultData(quillo::kResultAccepted));
  }

  // Hands the request to its handler. Returns false when it is malformed
  // and must not be answered.
  bool dispatch(const quillo::RequestData& request) {
    const int type = request.type_code();
    if (type < 0) return malformed();
    // The appliance's time zone may have changed since the last request.
    tzset();
    if (type == static_cast<int>(quillo::RequestType::SystemLog)) {
      say("system log request received.\n");
      counters().requests_system++;
      const quillo::ReqSystemLog record(request);
      if (!record.well_formed()) return malformed();
      system_log_.handle(record, *config_);
    } else if (type == static_cast<int>(quillo::RequestType::AccessLog)) {
      say("access log request received.\n");
      counters().requests_access++;
      const quillo::ReqAccessLog record(request);
      if (!record.well_formed()) return malformed();
      handle_access_log(record, *config_, alerts_);
    } else {
      complain("Invalid request type!! Ignore.\n");
      counters().requests_other_type++;
    }
    return true;
  }

  static bool malformed() {
    complain("Malformed request!! Ignore.\n");
    counters().requests_malformed++;
    return false;
  }

  std::unique_ptr<ConfigXml> config_;
  quillo::Connection listener_;
  AlertThread alerts_;
  SystemLogHandler system_log_;
};

}  // namespace

void run_request_loop() {
  RequestLoop loop;
  loop.start();
  loop.run();
}
