// The alert check: matches each logged access against the alert
// conditions, writes an alert row for every condition it meets and hands
// the row to the alert thread for its notices.
//
//   AlertEngine engine(alert_thread, [&store](const LogRow& row) {
//     return store.write(row);   // true: the row reached the alert log
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
#include "logstore/log_row.h"

namespace quillo {

class AlertThread;
class ConfigXml;

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
};

// What the engine keeps for one condition from check to check, and across
// a reload that leaves the condition as it was.
struct ConditionState {
  std::uint64_t matches = 0;  // accesses that met the condition
};

class AlertEngine {
 public:
  // Writes one alert row (kind alert) to the alert log; true when it got
  // there. May raise (the log root cannot be read): the check then stops,
  // with the row neither counted nor handed on.
  using RowWriter = std::function<bool(const LogRow&)>;
  // Reads the conditions of a loaded document; read_alert_conditions()
  // unless a test counts the reads.
  using ConditionReader =
      std::function<std::vector<AlertCondition>(const ConfigXml&)>;

  // `thread` must outlive the engine.
  AlertEngine(AlertThread& thread, RowWriter write,
              ConditionReader read = read_alert_conditions);
  AlertEngine(const AlertEngine&) = delete;
  AlertEngine& operator=(const AlertEngine&) = delete;

  // Checks the access row `access` (kind access, columns as in
  // logstore/log_kind.h: the user lower case, the operation with its
  // "_read"/"_write" suffix, the result "ok" or "fail (<text>)") at the
  // daemon's clock `now` against every condition of `config`, in document
  // order. For each that it meets: writes the alert row (the access row
  // with kind alert and time `now`), counts it, and pushes the row's CSV
  // text under the condition's name. Raises what the writer raises.
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

  AlertThread& thread_;
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
