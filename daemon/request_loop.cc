#include "daemon/request_loop.h"

#include <sys/stat.h>
#include <time.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/console.h"
#include "config/config_xml.h"
#include "daemon/access_log.h"
#include "daemon/counters.h"
#include "daemon/handler_stats.h"
#include "daemon/system_log.h"
#include "notice/notice.h"
#include "protocol/connection.h"
#include "protocol/packet.h"

volatile std::sig_atomic_t g_reload_requested = 0;

namespace {

// Pause after a failed accept, so that a socket that cannot be set up does
// not spin a core and flood standard error.
constexpr timespec kAcceptRetryPause{1, 0};

// Makes `path` and any missing folder above it with mode 0755. Returns 0,
// or the errno of the step that failed.
int make_dirs(const std::string& path) {
  for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    const std::string part = path.substr(0, end);
    if (!part.empty() && ::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      return errno;
    }
    if (end == std::string::npos) return 0;
  }
}

// Without its state folder every request would start a new log file.
void ensure_state_dir(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return;
  const int error = make_dirs(path);
  if (error != 0) {
    complain("Error: cannot make the state folder " + path + ": " +
             std::strerror(error) + "\n");
  }
}

NoticePaths notice_paths(const quillo::AppliancePaths& paths) {
  return NoticePaths{paths.eventlog_script, paths.buzzer_script,
                     paths.mailsend_script, paths.notice_config,
                     paths.notice_lock};
}

class RequestLoop {
 public:
  // Created in the order of the members, destroyed in reverse: the
  // configuration, the listening connection (no socket until the first
  // accept), the notifier and the alert thread (not started; destroying it
  // then joins nothing), the handlers.
  explicit RequestLoop(const DaemonSettings& settings)
      : config_path_(settings.paths.config),
        config_(std::make_unique<ConfigXml>(config_path_)),
        listener_(settings.socket),
        notifier_(notice_paths(settings.paths)),
        alerts_(settings.alert_timing,
                [this](const std::string& name,
                       const std::vector<std::string>& batch) {
                  return handle_alert(notifier_, name, batch);
                }),
        system_log_(settings.paths.state_dir, handler_stats_),
        access_log_(settings.paths.state_dir, alerts_, handler_stats_) {}

  // The counter dump's rows, in the order operators know them; counters
  // added later go at the end.
  std::vector<CounterRow> counter_rows() const {
    const AlertStats& alert = alerts_.stats();
    return {
        {"requests_system", &requests_.system},
        {"requests_access", &requests_.access},
        {"requests_other_type", &requests_.other_type},
        {"requests_malformed", &requests_.malformed},
        {"rows_written_system", &handler_stats_.rows_written_system},
        {"rows_written_access", &handler_stats_.rows_written_access},
        {"rows_written_alert", &alert.rows_written},
        {"rows_dropped_disabled", &handler_stats_.rows_dropped_disabled},
        {"rows_dropped_filtered", &handler_stats_.rows_dropped_filtered},
        {"write_failures", &handler_stats_.write_failures,
         &alert.write_failures},
        {"system_queue_rows", &handler_stats_.system_queue_rows},
        {"files_deleted", &handler_stats_.files_deleted},
        {"alert_matches", &alert.matches},
        {"alert_batches", &alert.batches},
        {"mail_addresses_sent", &alert.mail_addresses_sent},
        {"mail_addresses_failed", &alert.mail_addresses_failed},
        {"script_failures", &notifier_.stats().script_failures},
        {"access_rows_not_stored", &handler_stats_.access_not_stored},
        {"system_queue_dropped", &handler_stats_.system_queue_dropped},
        {"unsafe_entries", &handler_stats_.unsafe_entries,
         &alert.unsafe_entries},
    };
  }

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
      auto fresh = std::make_unique<ConfigXml>(config_path_);
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
      requests_.malformed++;
      return;
    }
    if (received != 0) {
      complain("Incomplete request!! Ignore.\n");
      requests_.malformed++;
      return;
    }
    const int answer = dispatch(request);
    if (answer < 0) return;
    peer.send(quillo::ResultData(static_cast<std::uint16_t>(answer)));
  }

  // Hands the request to its handler. Returns the answer's code, or -1 when
  // the request is malformed and must not be answered.
  int dispatch(const quillo::RequestData& request) {
    const int type = request.type_code();
    if (type < 0) return malformed();
    // The appliance's time zone may have changed since the last request.
    tzset();
    if (type == static_cast<int>(quillo::RequestType::SystemLog)) {
      say("system log request received.\n");
      requests_.system++;
      const quillo::ReqSystemLog record(request);
      if (!record.well_formed()) return malformed();
      system_log_.handle(record, *config_);
    } else if (type == static_cast<int>(quillo::RequestType::AccessLog)) {
      say("access log request received.\n");
      requests_.access++;
      const quillo::ReqAccessLog record(request);
      if (!record.well_formed()) return malformed();
      if (!access_log_.handle(record, *config_)) {
        return quillo::kResultNotStored;
      }
    } else {
      complain("Invalid request type!! Ignore.\n");
      requests_.other_type++;
    }
    return quillo::kResultAccepted;
  }

  int malformed() {
    complain("Malformed request!! Ignore.\n");
    requests_.malformed++;
    return -1;
  }

  const std::string config_path_;
  std::unique_ptr<ConfigXml> config_;
  quillo::Connection listener_;
  RequestStats requests_;
  HandlerStats handler_stats_;
  Notifier notifier_;
  AlertThread alerts_;
  SystemLogHandler system_log_;
  AccessLogHandler access_log_;
};

}  // namespace

void run_request_loop(const DaemonSettings& settings) {
  ensure_state_dir(settings.paths.state_dir);
  RequestLoop loop(settings);
  install_counter_dump(settings.paths.state_dir + "/quillod.stats",
                       loop.counter_rows());
  loop.start();
  loop.run();
}
