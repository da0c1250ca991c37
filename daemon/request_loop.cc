#include "daemon/request_loop.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "alert/alert_engine.h"
#include "alert/response_runner.h"
#include "base/console.h"
#include "config/config_xml.h"
#include "daemon/access_log.h"
#include "daemon/counters.h"
#include "daemon/handler_stats.h"
#include "daemon/peer_set.h"
#include "daemon/request_intake.h"
#include "daemon/request_reports.h"
#include "daemon/request_round.h"
#include "daemon/signals.h"
#include "daemon/system_log.h"
#include "forward/forward_settings.h"
#include "logstore/log_store.h"
#include "notice/notice.h"
#include "protocol/packet.h"
#include "seal/seal_settings.h"
#include "seal/sealer.h"

namespace quillo {
namespace {

using quillo::ConfigXml;
using quillo::NoticePaths;


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
    base::complain("Error: cannot make the state folder " + path + ": " +
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
  // configuration, the limits on repeated messages, the intake (no socket
  // until start()), the counts, the notifier and the alert thread (not
  // started; destroying it then joins nothing), the response runner
  // (likewise), the alert check, which writes through the access-log
  // handler and runs responses through the runner, the forwarder (not
  // started either), the log store, which hands its rows to the forwarder,
  // the handlers, which write through the store, and the round, which
  // drives the handlers. The sealer, also told of the store's rows, comes
  // before the store.
  explicit RequestLoop(const DaemonSettings& settings)
      : config_path_(settings.paths.config),
        config_(std::make_unique<ConfigXml>(config_path_)),
        intake_(settings.socket, reports_),
        notifier_(notice_paths(settings.paths)),
        alerts_(settings.alert_timing, notifier_),
        alert_check_(
            alerts_,
            [this](const quillo::LogRow& row, std::size_t copies) {
              return access_log_.write_alert_row(row, copies, *config_);
            },
            quillo::read_alert_conditions, &responses_),
        forwarder_(settings.paths.state_dir + "/forward",
                   settings.forward_backoff_max),
        sealer_(settings.paths.state_dir),
        store_(settings.paths.state_dir),
        system_log_(store_, handler_stats_),
        access_log_(store_, alert_check_, handler_stats_),
        round_writer_(store_, system_log_, access_log_, handler_stats_,
                      requests_, reports_) {
    store_.add_observer(&forwarder_);
    store_.add_observer(&sealer_);
    sealer_.set_epoch_override(settings.seal_epoch);
  }

  // The counter dump's rows, in the order operators know them; counters
  // added later go at the end.
  std::vector<CounterRow> counter_rows() const {
    const quillo::AlertThreadStats& alert = alerts_.stats();
    const quillo::AlertCheckStats& check = alert_check_.stats();
    const quillo::ForwardStats& forward = forwarder_.stats();
    const SessionStats& sessions = intake_.session_stats();
    return {
        {"requests_system", &requests_.system},
        {"requests_access", &requests_.access},
        {"requests_other_type", &requests_.other_type},
        {"requests_malformed", &requests_.malformed},
        {"rows_written_system", &handler_stats_.rows_written_system},
        {"rows_written_access", &handler_stats_.rows_written_access},
        {"rows_written_alert", &check.rows_written},
        {"rows_dropped_disabled", &handler_stats_.rows_dropped_disabled},
        {"rows_dropped_filtered", &handler_stats_.rows_dropped_filtered},
        {"write_failures", &handler_stats_.write_failures,
         &check.write_failures},
        {"system_queue_rows", &handler_stats_.system_queue_rows},
        {"files_deleted", &handler_stats_.files_deleted},
        {"alert_matches", &check.matches},
        {"alert_batches", &alert.batches},
        {"mail_addresses_sent", &alert.mail_addresses_sent},
        {"mail_addresses_failed", &alert.mail_addresses_failed},
        {"script_failures", &notifier_.stats().script_failures},
        {"access_rows_not_stored", &handler_stats_.access_not_stored},
        {"system_queue_dropped", &handler_stats_.system_queue_dropped},
        {"unsafe_entries", &handler_stats_.unsafe_entries,
         &check.unsafe_entries},
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
        {"threshold_fired", &check.threshold_fired},
        {"threshold_keys_evicted", &check.threshold_keys_evicted},
        {"responses_run", &responses_.stats().run},
        {"responses_failed", &responses_.stats().failed},
        {"sessions_opened", &sessions.opened},
        {"session_frames", &sessions.frames},
        {"seal_records", &sealer_.stats().records},
        {"seal_failures", &sealer_.stats().failures},
    };
  }

  // Makes the socket, loads the configuration and starts the alert thread.
  // Raises std::runtime_error when another daemon serves the socket, and
  // the configuration's error when it does not load.
  void start() {
    intake_.start();
    config_->load();
    apply_forward_settings();
    apply_seal_settings();
    alerts_.start();
    if (const int error = responses_.start()) {
      throw std::runtime_error(std::string("response threads: ") +
                               std::strerror(error));
    }
    if (const int error = forwarder_.start()) {
      throw std::runtime_error(std::string("forwarder thread: ") +
                               std::strerror(error));
    }
  }

  [[noreturn]] void run() {
    for (;;) {
      intake_.wait(&round_);
      // A SIGHUP cuts the wait in accept() or poll() short: new settings
      // (the forwarder's among them) apply at once, not only when the next
      // request comes. Looked at after the wait, so that a signal that came
      // just before it applies to the frames it brought; never in the
      // middle of a round.
      if (g_reload_requested.exchange(false)) reload();
      // From the first row written to the last answer sent, a stop waits
      // for the loop (daemon/signals.h).
      if (!round_.empty()) g_stop_deferred.store(true);
      // A one-shot client's frame is written and answered before the
      // sessions' frames of the round: it waits for no session's batch.
      const auto sessions = std::stable_partition(
          round_.begin(), round_.end(),
          [](const PeerSet::Frame& frame) { return !frame.session; });
      if (sessions != round_.begin() && sessions != round_.end()) {
        one_shot_.assign(std::make_move_iterator(round_.begin()),
                         std::make_move_iterator(sessions));
        round_.erase(round_.begin(), sessions);
        round_writer_.serve(one_shot_, *config_);
        intake_.answer(one_shot_);
        one_shot_.clear();
      }
      round_writer_.serve(round_, *config_);
      intake_.answer(round_);
      round_.clear();
      seal_between_rounds();
      // With sealing on, every stop comes through here: its last records
      // are written first.
      g_stop_deferred.store(intake_.answers_waiting() || sealer_.enabled());
      if (g_stop_requested.load()) {
        intake_.drain_answers();
        sealer_.stop(static_cast<std::int64_t>(::time(nullptr)));
        forward_seals();
        stop_now();
      }
    }
  }

 private:
  // A failed reload keeps the configuration in force: the new file is
  // parsed into a fresh document, which replaces the old one only when it
  // loaded. The error is printed as any error of a pass, and the accepted
  // request is then served with the configuration kept.
  void reload() {
    base::say("Reload config");
    try {
      auto fresh = std::make_unique<ConfigXml>(config_path_);
      fresh->load();
      config_ = std::move(fresh);
      apply_forward_settings();
      apply_seal_settings();
    } catch (...) {
      base::complain_current_exception();
    }
  }

  // Hands the loaded configuration's forwarding settings to the forwarder;
  // malformed ones are reported and turn forwarding off, and TLS settings
  // that cannot verify the collector are reported and hold the rows back.
  void apply_forward_settings() {
    const quillo::ForwardSettings settings =
        quillo::read_forward_settings(*config_);
    if (!settings.error.empty())
      base::complain("Error: " + settings.error + "\n");
    forwarder_.configure(settings);
  }

  // The epoch's end when it has come, and the seal records for the
  // collector.
  void seal_between_rounds() {
    sealer_.tick(static_cast<std::int64_t>(::time(nullptr)),
                 std::chrono::steady_clock::now());
    intake_.set_wake_at(sealer_.next_deadline());
    forward_seals();
  }

  void forward_seals() {
    const std::int64_t now = static_cast<std::int64_t>(::time(nullptr));
    for (const std::string& line : sealer_.take_outbox()) {
      forwarder_.forward_seal(now, line);
    }
  }

  // Sealing as the loaded configuration says; a state that cannot be used
  // is reported, and the rows are logged unsealed.
  void apply_seal_settings() {
    const quillo::SealSettings settings = quillo::read_seal_settings(*config_);
    if (!settings.error.empty()) {
      base::complain("Error: sealconf: " + settings.error + "\n");
    }
    const std::string error = sealer_.configure(
        settings, static_cast<std::int64_t>(::time(nullptr)));
    if (!error.empty()) base::complain("Error: sealconf: " + error + "\n");
    intake_.set_wake_at(sealer_.next_deadline());
    g_stop_deferred.store(intake_.answers_waiting() || sealer_.enabled());
  }

  const std::string config_path_;
  std::unique_ptr<ConfigXml> config_;
  RequestReports reports_;
  RequestIntake intake_;
  std::deque<PeerSet::Frame> round_;  // the frames of the round, in order
  std::deque<PeerSet::Frame> one_shot_;  // the one-shot part of a round
  RequestStats requests_;
  quillo::HandlerStats handler_stats_;
  Notifier notifier_;
  AlertThread alerts_;
  quillo::ResponseRunner responses_;
  quillo::AlertEngine alert_check_;
  quillo::Forwarder forwarder_;
  quillo::Sealer sealer_;
  quillo::LogStore store_;
  quillo::SystemLogHandler system_log_;
  quillo::AccessLogHandler access_log_;
  RequestRound round_writer_;
};

}  // namespace

void run_request_loop(const DaemonSettings& settings) {
  ensure_state_dir(settings.paths.state_dir);
  RequestLoop loop(settings);
  install_counter_dump(settings.paths.state_dir + "/quillod.stats",
                       loop.counter_rows());
  CounterFileWriter counter_file(kCounterFileEvery);
  loop.start();
  write_counter_file();
  if (const int error = counter_file.start()) {
    throw std::runtime_error(std::string("counters thread: ") +
                             std::strerror(error));
  }
  loop.run();
}

}  // namespace quillo
