// The daemon's side of sealing: it follows every line the log store writes
// (a RowObserver), keeps each file's hash chain (seal/seal_crypto.h) and
// appends seal records (seal/seal_record.h) to the sealing state
// (seal/seal_store.h):
//
//   start       when sealing comes on (daemon start, a reload that turns
//               it on)
//   seal        for every file with lines not sealed yet: at each epoch's
//               end, when a file is left for the next (roll-over), at a
//               reload and at a clean stop
//   heartbeat   at an epoch's end when no file changed
//   tombstone   for each file the retention rule deletes
//   stop        at a clean stop, and when a reload turns sealing off
//
// At the epoch's end, after its records, the key moves on one step and the
// old one is overwritten. Each record written is also kept for the
// collector until take_outbox() (called between rounds: records come in
// the middle of the store's passes).
//
// A file the sealer meets for the first time since it started (the file
// being continued after a restart, one written while sealing was off) is
// read once from the tree and its chain taken from what it holds, so the
// chains go on across restarts; lines that differ from the chain list
// stay for the verifier to find, since the earlier records keep the old
// chain.
//
// Failures (the state unreadable, a write that fails) are counted, printed
// at most once a minute, and never stop a row: rows are logged as ever.
//
// Main thread only.

#ifndef QUILLO_SEAL_SEALER_H_
#define QUILLO_SEAL_SEALER_H_

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "logstore/log_kind.h"
#include "logstore/row_observer.h"
#include "seal/seal_record.h"
#include "seal/seal_settings.h"
#include "seal/seal_store.h"

namespace quillo {

// Lock-free counts, read by the daemon's counter dump.
struct SealStats {
  std::atomic<std::uint64_t> records{0};
  std::atomic<std::uint64_t> failures{0};
};

class Sealer final : public RowObserver {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Sealer(std::string state_dir);

  // An epoch length that overrides the configuration's (tests); zero: none.
  void set_epoch_override(std::chrono::seconds length) {
    epoch_override_ = length;
  }

  // The settings of a (re)load at wall time `now`. Returns the text of an
  // error to report ("no sealing state ..."), or an empty string.
  std::string configure(const SealSettings& settings, std::int64_t now);

  bool enabled() const { return key_.has_value(); }

  // The end of the current epoch; Clock::time_point::max() while off.
  Clock::time_point next_deadline() const;

  // Ends the epoch when its time has come: seals what changed (a heartbeat
  // when nothing did) and moves the key on.
  void tick(std::int64_t now, Clock::time_point steady_now);

  // A clean stop: seals what changed and writes the stop record.
  void stop(std::int64_t now);

  const SealStats& stats() const { return stats_; }

  // The record lines written since the last call, in order.
  std::vector<std::string> take_outbox() { return std::move(outbox_); }

  void row_prepared(const LogRow& row, std::string_view line) noexcept override;
  void row_done(bool written) noexcept override;
  void file_rolled(LogKind kind, const std::string& old_path,
                   const std::string& new_path) noexcept override;
  void file_opened(LogKind kind, const std::string& path) noexcept override;
  void file_deleted(LogKind kind, const std::string& path) noexcept override;

 private:
  // A file's chain as far as the sealer has followed it.
  struct Chain {
    std::uint64_t lines = 0;   // lines chained
    std::uint64_t sealed = 0;  // lines the last seal record covers
    Digest value{};
    std::string entries;       // kChainEntryBytes per line not yet stored
  };

  Chain* adopt(const std::string& path);
  void seal_changed(std::int64_t now, std::vector<std::string>* lines,
                    std::vector<std::string>* sealed_names);
  std::string record_line(SealType type, const std::string& name,
                          std::uint64_t lines, const Digest& chain,
                          std::int64_t now);
  // Stores the chain entries of `sealed_names`, then `lines`, then the key
  // state; false (counted and reported) when a step failed.
  bool commit(const std::vector<std::string>& lines,
              const std::vector<std::string>& sealed_names);
  void seal_now(std::int64_t now, SealType last_type);
  void fail(const std::string& error);
  void drop_quiet_chains();

  SealStore store_;
  std::optional<SealKeyState> key_;
  std::chrono::seconds epoch_length_{kDefaultEpochMinutes * 60};
  std::chrono::seconds epoch_override_{0};
  Clock::time_point epoch_end_ = Clock::time_point::max();
  std::map<std::string, Chain> chains_;  // by name below the log root
  std::array<std::string, kLogKinds.size()> current_;  // each kind's file
  // Each kind's chain in chains_ (a map: the pointers stay valid), found
  // once per file rather than once per row; null until its first row.
  std::array<Chain*, kLogKinds.size()> current_chain_{};
  std::deque<std::pair<LogKind, std::string>> pending_;  // prepared lines
  std::string scratch_;
  std::vector<std::string> outbox_;
  SealStats stats_;
  Clock::time_point last_report_{};
};

// The path's name below the log root: its last three components
// ("accesslog/202612/access_20261209101500.csv").
std::string seal_name(const std::string& path);

}  // namespace quillo

#endif  // QUILLO_SEAL_SEALER_H_
