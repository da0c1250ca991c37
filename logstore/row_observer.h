// What the log store tells the parts that follow its rows (the forwarder,
// sealing): each row around its write, each file it begins or stops
// writing, and each file its retention rule deletes.
//
// A row is offered in two steps: row_prepared() before its line is
// written, row_done() with the outcome after. An observer can so keep the
// row durably before the log file has it (a crash between the two loses
// nothing) and still pass on only rows that were written. A single write
// gives one row_prepared() and its row_done(); a group commit
// (LogStore::write_batch) gives row_prepared() for each of its rows, then,
// after the last write, one row_done() for each, in the same order: the
// n-th row_done() since the last one of the previous pass belongs to the
// n-th row prepared in this pass. file_rolled() comes when the store leaves
// a file for a new one (roll-over at the line limit or the month, or a
// file found replaced), after the old file's last line and before the new
// file's first; in a group commit it falls between the row_prepared() and
// row_done() calls of the pass.
//
// Observers are called on the main thread before the client is answered:
// they must not raise and must not wait on anything but their own disk.

#ifndef QUILLO_LOGSTORE_ROW_OBSERVER_H_
#define QUILLO_LOGSTORE_ROW_OBSERVER_H_

#include <string>
#include <string_view>

#include "logstore/log_row.h"

namespace quillo {

class RowObserver {
 public:
  virtual ~RowObserver() = default;

  // `row` is about to be written as `line` (encode_row(row): no byte order
  // mark, no line end).
  virtual void row_prepared(const LogRow& row, std::string_view line) noexcept = 0;

  // The oldest prepared row not yet done reached its file (true) or did
  // not (false: it is to be forgotten).
  virtual void row_done(bool written) noexcept = 0;

  // `kind` left the file `old_path` (empty: none was open) for `new_path`.
  virtual void file_rolled(LogKind kind, const std::string& old_path,
                           const std::string& new_path) noexcept {
    (void)kind;
    (void)old_path;
    (void)new_path;
  }

  // The kind's rows go to the file at `path` from the next row on: at the
  // first row after the store began (a file continued included), and after
  // every roll. Comes after file_rolled(), before the row is prepared.
  virtual void file_opened(LogKind kind, const std::string& path) noexcept {
    (void)kind;
    (void)path;
  }

  // The retention rule deleted the file at `path` (before the row that
  // started its pass is prepared).
  virtual void file_deleted(LogKind kind, const std::string& path) noexcept {
    (void)kind;
    (void)path;
  }
};

}  // namespace quillo

#endif  // QUILLO_LOGSTORE_ROW_OBSERVER_H_
