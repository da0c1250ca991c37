// Temporary: the interface the record handlers and the alert check still
// hand their rows through, until they write through the log store, which
// tells its RowObservers (logstore/row_observer.h) itself. Nothing in
// forward/ uses it; ObserverRowSink passes the rows on to the forwarder.
// This header goes once the handlers and the alert check are moved.
//
// Each row is offered in two steps around the write of its log file:
// row_prepared() just before, row_done() with the outcome right after. A
// sink must not raise and must not wait on anything but its own disk: it
// is called on the main thread before the client is answered.

#ifndef QUILLO_FORWARD_ROW_SINK_H_
#define QUILLO_FORWARD_ROW_SINK_H_

#include <cstdint>
#include <string>
#include <vector>

#include "logstore/log_row.h"
#include "logstore/row_observer.h"

enum class RowKind { kSystem, kAccess, kAlert };

// One written row: its fields as received (before the CR/LF escaping of
// the CSV file) and the CSV text as written.
struct WrittenRow {
  RowKind kind = RowKind::kSystem;
  int64_t time = 0;  // the row's own time, seconds since the epoch
  std::vector<std::string> fields;
  std::string csv;  // the CSV line, without byte order mark and line end
};

class RowSink {
 public:
  virtual ~RowSink() = default;
  // Takes the row about to be written. Never raises.
  virtual void row_prepared(const WrittenRow& row) noexcept = 0;
  // The prepared row reached its log file (true) or did not (false: it is
  // forgotten). Never raises.
  virtual void row_done(bool written) noexcept = 0;

  // Both steps for a row already written.
  void row_written(const WrittenRow& row) noexcept {
    row_prepared(row);
    row_done(true);
  }
};

// Hands each row on to a RowObserver, as the log store will.
class ObserverRowSink final : public RowSink {
 public:
  explicit ObserverRowSink(quillo::RowObserver& observer)
      : observer_(observer) {}

  void row_prepared(const WrittenRow& row) noexcept override {
    const quillo::LogKind kind =
        row.kind == RowKind::kSystem   ? quillo::LogKind::kSystem
        : row.kind == RowKind::kAccess ? quillo::LogKind::kAccess
                                       : quillo::LogKind::kAlert;
    try {
      observer_.row_prepared(quillo::LogRow{kind, row.time, row.fields},
                             row.csv);
    } catch (...) {
      // Out of memory for the copy: the observer never saw the row, and
      // its row_done() finds nothing prepared.
    }
  }
  void row_done(bool written) noexcept override { observer_.row_done(written); }

 private:
  quillo::RowObserver& observer_;
};

#endif  // QUILLO_FORWARD_ROW_SINK_H_
