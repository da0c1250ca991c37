// What the record handlers and the alert check hand on for each row they
// write to a log file: the row's kind, its time, its fields as received
// (before the CR/LF escaping of the CSV file) and the CSV text as written.
//
// Each row is offered in two steps around the write of its log file:
// row_prepared() just before, row_done() with the outcome right after. A
// sink can so keep the row durably before the log file has it (a crash
// between the two loses nothing) and still pass on only rows that were
// written. A sink must not raise and must not wait on anything but its own
// disk: it is called on the main thread before the client is answered.

#ifndef QUILLO_FORWARD_ROW_SINK_H_
#define QUILLO_FORWARD_ROW_SINK_H_

#include <cstdint>
#include <string>
#include <vector>

enum class RowKind { kSystem, kAccess, kAlert };

// One written row. `fields` follow the kind's column names
// (row_field_names()): system text1 text2 text3; access and alert user
// host ip op result share path.
struct WrittenRow {
  RowKind kind = RowKind::kSystem;
  int64_t time = 0;  // the row's own time, seconds since the epoch
  std::vector<std::string> fields;
  std::string csv;  // the CSV line, without byte order mark and line end
};

// The names of a kind's fields, in order.
const std::vector<std::string>& row_field_names(RowKind kind);

// "system", "access" or "alert".
const char* row_kind_name(RowKind kind);

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

#endif  // QUILLO_FORWARD_ROW_SINK_H_
