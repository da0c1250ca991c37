// The log store: the daemon's one writer per log kind (system, access,
// alert), alive for the daemon's whole run, and the observers that follow
// its rows.
//
//   LogStore store(paths.state_dir);
//   store.add_observer(&forwarder);
//   store.set_root(LogKind::kAccess, config.log_root());
//   store.set_auto_delete(LogKind::kAccess, {true, 30, 5});
//   WriteCounts counts;
//   if (!store.write(row, now, &counts)) ...   // not stored
//
// Each kind's LogFile stays open from one row to the next; every row still
// checks the tree as a first row would (a file removed or replaced under
// it, a link or FIFO in its place, its month folder swapped), so what is
// refused and reported stays the same. A write encodes the row once
// (encode_row) and tells every observer, in this order:
//
//   file_rolled(kind, old, new)  when the row goes to another file than
//                                the kind's previous row (line limit, new
//                                month, file found gone or replaced, log
//                                root changed; old is empty when no file
//                                was known before)
//   row_prepared(row, line)      just before the line is written, also
//                                when no file can take it
//   row_done(written)            right after
//
// A group commit (write_batch) prepares all of its rows first, writes, and
// then tells each row's outcome in the same order; its rolls come between.
//
// Main thread only. Observers must outlive the store.

#ifndef QUILLO_LOGSTORE_LOG_STORE_H_
#define QUILLO_LOGSTORE_LOG_STORE_H_

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "logstore/log_file.h"
#include "logstore/log_kind.h"
#include "logstore/log_row.h"
#include "logstore/row_observer.h"

namespace quillo {

// When old files of a kind are removed to make room (LogFile::auto_delete).
struct AutoDeleteSettings {
  bool enabled = false;
  int days = 0;     // age in whole days a file must reach
  int percent = 0;  // free space of the log volume at or below which to run
};

// What a write did besides its line; write() adds to these.
struct WriteCounts {
  std::uint64_t files_deleted = 0;   // by the auto-delete pass
  std::uint64_t unsafe_entries = 0;  // links and such left untouched
};

// One row of a group commit and whether it reached its file.
struct BatchRow {
  LogRow row;
  bool written = false;
};

class LogStore {
 public:
  // Keeps the state files "<kind>_info" in `state_dir`. No log root is set:
  // until set_root(), nothing is written.
  explicit LogStore(std::string state_dir);
  LogStore(const LogStore&) = delete;
  LogStore& operator=(const LogStore&) = delete;
  ~LogStore();

  // Adds `observer` (not owned) to those told of every row, after the
  // ones added before.
  void add_observer(RowObserver* observer);

  // The log root of `kind` (from the configuration; empty: none). A root
  // other than the last one lets the open file go; the next row opens its
  // file below the new root, and comes with file_rolled().
  void set_root(LogKind kind, const std::string& log_root);

  // The auto-delete settings of `kind`. The alert log is never
  // auto-deleted: its settings stay off whatever is given.
  void set_auto_delete(LogKind kind, const AutoDeleteSettings& settings);

  // Writes `row` into its kind's log at the daemon's clock `now` (the
  // row's own time names and chooses its file; `now` judges the ages for
  // the auto-delete pass). True when the line reached its file. `counts`,
  // when given, is added what the write deleted and refused; `line`, when
  // given, receives the encoded line (without line end).
  bool write(const LogRow& row, std::int64_t now, WriteCounts* counts = nullptr,
             std::string* line = nullptr);

  // Writes `copies` lines of `row` in one pass: the tree is checked and
  // the auto-delete pass run once, the state file saved once, and each
  // copy goes to the observers as a row of its own (a new file is begun
  // when one is full). Returns how many lines reached the file: after a
  // line that did not, the rest are not tried (their observers are told
  // they were not written).
  std::size_t write_copies(const LogRow& row, std::size_t copies,
                           std::int64_t now, WriteCounts* counts = nullptr);

  // Group commit: writes the rows of `batch`, of any kinds, in arrival
  // order. For each kind its rows' lines go to the file in one write (a
  // new file begun where one reaches the line limit), the tree is checked,
  // the auto-delete pass (free-space check) run and the state file saved
  // once per kind and batch. The observers get row_prepared() for every
  // row in batch order before the first write, then row_done() for every
  // row in the same order after the last. Sets each row's `written`;
  // returns how many were.
  std::size_t write_batch(std::vector<BatchRow>& batch, std::int64_t now,
                          WriteCounts* counts = nullptr);

  // The writer of `kind`, to look at its settings and state (tests).
  const LogFile& file(LogKind kind) const;

 private:
  LogFile& writer(LogKind kind);
  void tell_rolled(LogKind kind, const LogFile::Roll& roll);
  // Opens `log` for `row` and tells a roll; false when no file takes it.
  bool begin(LogFile& log, const LogRow& row, std::int64_t now);
  void offer(const LogRow& row, const std::string& line);
  void tell_done(bool written);
  void add_counts(const LogFile& log, std::int64_t deleted_before,
                  std::int64_t unsafe_before, WriteCounts* counts) const;
  // write_batch() for the rows of one kind; `lines` are the batch's
  // encoded rows, by index.
  void write_kind(LogKind kind, std::vector<BatchRow>& batch,
                  const std::vector<std::string>& lines, std::int64_t now,
                  WriteCounts* counts);

  const std::string state_dir_;
  std::array<std::unique_ptr<LogFile>, kLogKinds.size()> files_;
  // Each kind's file as last told to the observers (file_opened).
  std::array<std::string, kLogKinds.size()> opened_;
  std::vector<RowObserver*> observers_;
};

}  // namespace quillo

#endif  // QUILLO_LOGSTORE_LOG_STORE_H_
