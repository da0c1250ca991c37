// What the record handlers have done, for the daemon's counters.

#ifndef QUILLO_DAEMON_HANDLER_STATS_H_
#define QUILLO_DAEMON_HANDLER_STATS_H_

#include <atomic>
#include <cstdint>

namespace quillo {

// Lock-free: the handlers run on the main thread, the SIGUSR1 handler reads
// the counts in signal context.
struct HandlerStats {
  using Count = std::atomic<std::uint64_t>;
  static_assert(Count::is_always_lock_free,
                "counts are read in a signal handler");

  Count rows_written_system{0};
  Count rows_written_access{0};
  Count rows_dropped_disabled{0};  // records dropped because logging is off
  Count rows_dropped_filtered{0};  // accesses dropped by the share filter
  Count write_failures{0};         // rows that did not reach their file
  Count system_queue_rows{0};      // rows waiting now, not a total
  Count files_deleted{0};          // by the auto-delete pass
  Count access_not_stored{0};      // access rows answered "not stored"
  Count system_queue_dropped{0};   // queued rows dropped at the bound
  Count unsafe_entries{0};         // links and such left untouched
};

}  // namespace quillo

#endif  // QUILLO_DAEMON_HANDLER_STATS_H_
