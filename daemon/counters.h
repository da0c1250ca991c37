// What the daemon has done since it started, for an operator to read.
//
// Every counter is a lock-free atomic, so both threads update them without
// a lock and the SIGUSR1 handler reads and formats them in signal context
// without allocating. On SIGUSR1 the daemon writes one "name value" line
// per counter to standard output and replaces "quillod.stats" in the state
// directory with the same lines.

#ifndef QUILLO_DAEMON_COUNTERS_H_
#define QUILLO_DAEMON_COUNTERS_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

struct Counters {
  using Count = std::atomic<std::uint64_t>;
  static_assert(Count::is_always_lock_free, "counters are read in a signal handler");

  Count requests_system{0};
  Count requests_access{0};
  Count requests_other_type{0};
  Count requests_malformed{0};     // empty, incomplete or malformed frames
  Count rows_written_system{0};
  Count rows_written_access{0};
  Count rows_written_alert{0};
  Count rows_dropped_disabled{0};  // records dropped because logging is off
  Count rows_dropped_filtered{0};  // accesses dropped by the share filter
  Count write_failures{0};         // rows that did not reach their file
  Count system_queue_rows{0};      // rows waiting now, not a total
  Count files_deleted{0};          // by the auto-delete pass
  Count alert_matches{0};
  Count alert_batches{0};
  Count mail_addresses_sent{0};
  Count mail_addresses_failed{0};
  Count script_failures{0};        // notification script runs that failed
};

// The process's counters.
Counters& counters();

// Writes the counters as "name value\n" lines, in a fixed order, into
// `buf`; returns the length, or 0 when `size` is too small. Async-signal-
// safe.
std::size_t format_counters(char* buf, std::size_t size);

// Makes SIGUSR1 print the counters on standard output and replace
// `stats_path` (written to a temporary file beside it, then renamed) with
// them. Call once on the main thread before other threads start.
void install_counter_dump(const std::string& stats_path);

#endif  // QUILLO_DAEMON_COUNTERS_H_
