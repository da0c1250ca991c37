#include "daemon/request_loop.h"

#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/console.h"
#include "config/config_xml.h"
#include "daemon/access_log.h"
#include "daemon/counters.h"
#include "daemon/handler_stats.h"
#include "daemon/listener.h"
#include "daemon/message_limit.h"
#include "daemon/peer_set.h"
#include "daemon/system_log.h"
#include "forward/forward_settings.h"
#include "forward/row_sink.h"
#include "notice/notice.h"
#include "protocol/connection.h"
#include "protocol/packet.h"

std::atomic<bool> g_reload_requested{false};

namespace {

using Clock = std::chrono::steady_clock;

// Pause after a failed accept, so that a socket that cannot be set up does
// not spin a core and flood standard error.
constexpr std::chrono::seconds kAcceptRetryPause{1};
// Longest sleep of the loop: the socket file is looked at this often.
constexpr std::chrono::milliseconds kListenerCheck{60000};

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

// How many clients may wait at once under the process's descriptor limit.
std::size_t peer_capacity() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 ||
      limit.rlim_cur == RLIM_INFINITY ||
      limit.rlim_cur >= kMaxPendingPeers + kWorkDescriptors) {
    return kMaxPendingPeers;
  }
  if (limit.rlim_cur <= kWorkDescriptors) return 1;
  return static_cast<std::size_t>(limit.rlim_cur) - kWorkDescriptors;
}

NoticePaths notice_paths(const quillo::AppliancePaths& paths) {
  return NoticePaths{paths.eventlog_script, paths.buzzer_script,
                     paths.mailsend_script, paths.notice_config,
                     paths.notice_lock};
}

class RequestLoop {
 public:
  // Created in the order of the members, destroyed in reverse: the
  // configuration, the listener (no socket until start()), the pending
  // peers, the limits on repeated messages, the counts, the notifier and
  // the alert thread (not started; destroying it then joins nothing), the
  // forwarder (likewise), the handlers, which hand their rows to the
  // forwarder.
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
        forwarder_(settings.paths.state_dir + "/forward",
                   settings.forward_backoff_max),
        system_log_(settings.paths.state_dir, handler_stats_),
        access_log_(settings.paths.state_dir, alerts_, handler_stats_) {
    system_log_.set_row_sink(&forward_sink_);
    access_log_.set_row_sink(&forward_sink_);
  }

  // The counter dump's rows, in the order operators know them; counters
  // added later go at the end.
  std::vector<CounterRow> counter_rows() const {
    const AlertStats& alert = alerts_.stats();
    const quillo::ForwardStats& forward = forwarder_.stats();
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
        {"alert_rows_dropped", &alert.rows_dropped},
        {"alert_batches_kept", &alert.batches_kept},
        {"notice_lock_busy", &notifier_.stats().lock_busy},
        {"script_answers_cut", &notifier_.stats().answers_cut},
        {"forward_rows_sent", &forward.rows_sent},
        {"forward_spool_bytes", &forward.spool_bytes},
        {"forward_rows_dropped", &forward.rows_dropped},
        {"forward_reconnects", &forward.reconnects},
        {"forward_spool_failures", &forward.spool_failures},
        {"forward_rows_confirmed", &forward.rows_confirmed},
        {"forward_rows_resent", &forward.rows_resent},
        {"forward_window_waits", &forward.window_waits},
        {"forward_tls_failures", &forward.tls_failures},
    };
  }

  // Makes the socket, loads the configuration and starts the alert thread.
  // Raises std::runtime_error when another daemon serves the socket, and
  // the configuration's error when it does not load.
  void start() {
    if (listener_.open() == Listener::Open::kBusy) {
      throw std::runtime_error("another quillod serves " + listener_.path());
    }
    next_check_ = Clock::now() + std::chrono::seconds(1);
    if (peer_capacity_ < kMaxPendingPeers) {
      complain("Descriptor limit below " +
               std::to_string(kMaxPendingPeers + kWorkDescriptors) +
               ": at most " + std::to_string(peer_capacity_) +
               " clients wait at once.\n");
    }
    config_->load();
    apply_forward_settings();
    alerts_.start();
    if (const int error = forwarder_.start()) {
      throw std::runtime_error(std::string("forwarder thread: ") +
                               std::strerror(error));
    }
  }

  [[noreturn]] void run() {
    std::vector<pollfd> fds;
    for (;;) {
      // A SIGHUP cuts the wait in accept() or poll() short: new settings
      // (the forwarder's among them) apply at once, not only when the next
      // request comes.
      if (g_reload_requested.exchange(false)) reload();
      const Clock::time_point now = Clock::now();
      if (now >= next_check_) check_listener(now);
      flush_reports(now);
      const bool accepting = listener_.is_open() && now >= accept_paused_;
      if (accepting && peers_.size() == 0 &&
          next_report() == Clock::time_point::max()) {
        // Nobody half-way: wait in accept() itself, which costs a lone
        // client one system call less than poll() and accept().
        accept_one(Clock::now());
        serve_finished();
        continue;
      }
      fds.clear();
      if (accepting) fds.push_back({listener_.fd(), POLLIN, 0});
      const std::size_t first_peer = fds.size();
      peers_.append_pollfds(&fds);
      const int ready = ::poll(fds.data(), fds.size(), wait_ms(now));
      if (ready < 0 && errno != EINTR) complain("Poll fail!!\n");
      const Clock::time_point woke = Clock::now();
      if (ready > 0)
        peers_.handle_events(fds, first_peer, woke, &finished_);
      else
        peers_.handle_events({}, 0, woke, &finished_);
      if (ready > 0 && accepting && fds[0].revents != 0) accept_one(woke);
      serve_finished();
    }
  }

 private:
  // The messages clients can cause at will, in the order of reports_.
  enum Report {
    kNoData,
    kIncomplete,
    kMalformed,
    kOtherType,
    kAcceptFail,
    kDropped,
    kReports
  };

  // Milliseconds poll() may sleep: until the earliest peer's bound, the
  // next look at the socket file, the end of an accept pause or a summary
  // of held-back messages.
  int wait_ms(Clock::time_point now) const {
    Clock::time_point until =
        std::min({peers_.next_deadline(), next_check_, next_report()});
    if (listener_.is_open() && accept_paused_ > now) {
      until = std::min(until, accept_paused_);
    }
    if (until <= now) return 0;
    const auto ms =
        std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
    return static_cast<int>(std::min<long long>(ms, kListenerCheck.count()));
  }

  // The socket file is looked at once a second at most when the loop is
  // busy and once a minute when it is idle; a vanished or replaced one is
  // made again.
  void check_listener(Clock::time_point now) {
    next_check_ = now + std::chrono::seconds(1);
    if (listener_.is_open()) {
      listener_.check();
      if (listener_.is_open()) return;
    } else if (listener_.open() == Listener::Open::kOk) {
      return;
    }
    report(kAcceptFail);
  }

  // Prints one more occurrence of a message clients can cause at will,
  // within its limit.
  void report(Report which) {
    const std::string text = reports_[which].occur(Clock::now());
    if (!text.empty()) complain(text);
  }

  // Prints the summaries of the messages held back in a minute now over.
  void flush_reports(Clock::time_point now) {
    for (MessageLimit& limit : reports_) {
      const std::string text = limit.flush(now);
      if (!text.empty()) complain(text);
    }
  }

  Clock::time_point next_report() const {
    Clock::time_point earliest = Clock::time_point::max();
    for (const MessageLimit& limit : reports_) {
      earliest = std::min(earliest, limit.deadline());
    }
    return earliest;
  }

  // Takes one client per round: while more wait, the listener stays
  // readable and the next round comes at once, so a flood of connections
  // cannot starve the peers already waiting.
  void accept_one(Clock::time_point now) {
    base::UniqueFd fd(listener_.accept());
    if (fd) {
      peers_.add(std::move(fd), Clock::now(), &finished_);
      return;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
    if (errno == ECONNABORTED) {
      // Let go for want of a descriptor; the next client is taken at once.
      report(kDropped);
      return;
    }
    // Out of descriptors with nobody to let go, or the like: pause
    // accepting rather than spin.
    report(kAcceptFail);
    accept_paused_ = now + kAcceptRetryPause;
  }

  void serve_finished() {
    while (!finished_.empty()) {
      PeerSet::Finished done = std::move(finished_.front());
      finished_.pop_front();
      try {
        if (g_reload_requested.exchange(false)) reload();
        serve(done);
      } catch (...) {
        // The connection closes without an answer.
        complain_current_exception();
      }
    }
  }

  // A failed reload keeps the configuration in force: the new file is
  // parsed into a fresh document, which replaces the old one only when it
  // loaded. The error is printed as any error of a pass, and the accepted
  // request is then served with the configuration kept.
  void reload() {
    say("Reload config");
    try {
      auto fresh = std::make_unique<ConfigXml>(config_path_);
      fresh->load();
      config_ = std::move(fresh);
      apply_forward_settings();
    } catch (...) {
      complain_current_exception();
    }
  }

  // Hands the loaded configuration's forwarding settings to the forwarder;
  // malformed ones are reported and turn forwarding off, and TLS settings
  // that cannot verify the collector are reported and hold the rows back.
  void apply_forward_settings() {
    const quillo::ForwardSettings settings =
        quillo::read_forward_settings(*config_);
    if (!settings.error.empty()) complain("Error: " + settings.error + "\n");
    forwarder_.configure(settings);
  }

  void serve(PeerSet::Finished& done) {
    if (done.request.size == 0) {
      report(kNoData);
      requests_.malformed++;
      return;
    }
    if (!done.whole) {
      report(kIncomplete);
      requests_.malformed++;
      return;
    }
    done.request.reload_entry();
    const int answer = dispatch(done.request);
    if (answer < 0) return;
    quillo::Connection peer(done.fd.release());
    // Four bytes to a socket that has sent its frame: they fit its buffer;
    // the bound only guards against the impossible.
    peer.set_deadline(Clock::now() + kRequestTimeout);
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
      report(kOtherType);
      requests_.other_type++;
    }
    return quillo::kResultAccepted;
  }

  int malformed() {
    report(kMalformed);
    requests_.malformed++;
    return -1;
  }

  const std::string config_path_;
  std::unique_ptr<ConfigXml> config_;
  Listener listener_;
  const std::size_t peer_capacity_ = peer_capacity();
  PeerSet peers_{peer_capacity_, kRequestTimeout};
  std::array<MessageLimit, kReports> reports_{
      MessageLimit("No data request!! Ignore.\n"),
      MessageLimit("Incomplete request!! Ignore.\n"),
      MessageLimit("Malformed request!! Ignore.\n"),
      MessageLimit("Invalid request type!! Ignore.\n"),
      MessageLimit("Accept fail!!\n"),
      MessageLimit("No descriptor left!! Connection dropped.\n")};
  std::deque<PeerSet::Finished> finished_;  // in the order they finished
  Clock::time_point next_check_{};          // of the socket file
  Clock::time_point accept_paused_{};       // after a failed accept
  RequestStats requests_;
  HandlerStats handler_stats_;
  Notifier notifier_;
  AlertThread alerts_;
  quillo::Forwarder forwarder_;
  // Temporary, until the handlers write through the log store.
  ObserverRowSink forward_sink_{forwarder_};
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
