// The alert check: matches each logged access against the alert
// conditions, writes an alert row for every condition it meets and hands
// the row to the alert thread for its notices.
//
//   AlertEngine engine(alert_thread,
//                      [&store](const LogRow& row, std::size_t copies) {
//     return store.write_copies(row, copies, now);  // lines that got there
//   });
//   ...
//   engine.check(config, access_row, now);   // after the access row is
//                                            // written
//
// The engine owns the conditions it read from the configuration and one
// ConditionState per condition. It reads them again once per load of the
// document (ConfigXml::generation()), on the first check after it: an
// unchanged condition (same name, same fields) keeps its state, a changed
// or removed one loses it. Main thread only, except stats().

#ifndef QUILLO_ALERT_ALERT_ENGINE_H_
#define QUILLO_ALERT_ALERT_ENGINE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "alert/alert_condition.h"
#include "alert/rate_counter.h"
#include "logstore/log_row.h"
#include "notice/alert_notice.h"

namespace quillo {

class AlertThread;
class ConfigXml;
class ResponseRunner;

// What the alert check has done, for the daemon's counters. Lock-free: read
// from the daemon's signal handler.
struct AlertCheckStats {
  using Count = std::atomic<std::uint64_t>;
  Count matches{0};         // accesses that met a condition
  Count rows_written{0};    // alert rows the writer wrote
  Count write_failures{0};  // alert rows that did not reach the file
  // Links and such left untouched in the alert log's tree; counted by the
  // writer, which is the one that meets them.
  Count unsafe_entries{0};
  Count threshold_fired{0};         // firings of threshold conditions
  Count threshold_keys_evicted{0};  // keys dropped at the bound
};

// What the engine keeps for one condition from check to check, and across
// a reload that leaves the condition as it was.
struct ConditionState {
  std::uint64_t matches = 0;  // accesses that met the condition
  // The counts per key of a threshold condition; null for the others.
  std::unique_ptr<RateCounter> rate;
};

class AlertEngine {
 public:
  // Writes `copies` lines of one alert row (kind alert), one per condition
  // met, to the alert log; returns how many got there. May raise (the log
  // root cannot be read): the check then stops, with the rows neither
  // counted nor handed on.
  using RowWriter = std::function<std::size_t(const LogRow&, std::size_t)>;
  // Reads the conditions of a loaded document; read_alert_conditions()
  // unless a test counts the reads.
  using ConditionReader =
      std::function<std::vector<AlertCondition>(const ConfigXml&)>;

  // `thread`, and `responses` when given, must outlive the engine. Without
  // `responses` no containment script runs.
  AlertEngine(AlertThread& thread, RowWriter write,
              ConditionReader read = read_alert_conditions,
              ResponseRunner* responses = nullptr);
  AlertEngine(const AlertEngine&) = delete;
  AlertEngine& operator=(const AlertEngine&) = delete;

  // Checks the access row `access` (kind access, columns as in
  // logstore/log_kind.h: the user lower case, the operation with its
  // "_read"/"_write" suffix, the result "ok" or "fail (<text>)") at the
  // daemon's clock `now` against every condition of `config`, in document
  // order. For each that it meets: writes the alert row (the access row
  // with kind alert and time `now`; the lines of all conditions met in
  // one write), counts it, and pushes the row's CSV text under the
  // condition's name. A threshold condition counts the row
  // for its key instead (alert/rate_counter.h): when the count is reached,
  // the firing's batch goes to the alert thread at once and its response
  // to `responses`; a row in the hold after a firing goes to the hold's
  // batch. Raises what the writer raises.
  void check(const ConfigXml& config, const LogRow& access, std::int64_t now);

  // Takes the conditions of `config` when its document is not the one they
  // were read from; check() does this first.
  void reload(const ConfigXml& config);

  // The conditions in force, in document order, and their states.
  std::size_t condition_count() const { return entries_.size(); }
  const AlertCondition& condition(std::size_t i) const {
    return entries_[i].condition;
  }
  const ConditionState& state(std::size_t i) const {
    return *entries_[i].state;
  }

  // Any thread.
  AlertCheckStats& stats() { return stats_; }
  const AlertCheckStats& stats() const { return stats_; }

 private:
  struct Entry {
    AlertCondition condition;
    // Its own object, so that a later reload can hand it on whole.
    std::unique_ptr<ConditionState> state;
  };

  // Counts the alert row `text` of `access` for threshold condition
  // `entry` and hands on a firing or a held row.
  void count_rate_row(Entry& entry, const LogRow& access,
                      const std::string& text, std::int64_t now);
  void run_response(const AlertCondition& condition, const LogRow& access,
                    const BatchSummary& summary,
                    const std::vector<std::string>& rows);

  AlertThread& thread_;
  ResponseRunner* const responses_;
  const RowWriter write_;
  const ConditionReader read_;
  std::vector<Entry> entries_;
  // generation() of the document the conditions were read from; 0 before
  // the first read (a document never loaded has no conditions either).
  std::uint64_t generation_ = 0;
  AlertCheckStats stats_;
};

}  // namespace quillo

#endif  // QUILLO_ALERT_ALERT_ENGINE_H_
