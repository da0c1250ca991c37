// The cheapest writer that leaves the same log tree as the daemon: the
// measuring stick ("floor") for the daemon's per-record cost.
//
// Per record it does only what must happen for the bytes on disk to come
// out the same: stat the log root, read the kind's state file, open the
// month's file for append (making the kind and month directories only when
// the open finds them missing, and writing the byte order mark and setting
// mode 0666 only when the file is new), write the line and CR LF with one
// call, close, and rewrite the state file in place. It reads no
// configuration, runs no auto-delete pass and no alert check.
//
// Rows are built as the daemon builds them: fields joined by ",", CR and LF
// inside a field written as "#015" and "#012".
//
// Not thread-safe; the floor server uses one FloorStore on its one thread.

#ifndef QUILLO_BENCH_FLOOR_STORE_H_
#define QUILLO_BENCH_FLOOR_STORE_H_

#include <cstddef>
#include <cstdint>
#include <string>

// The kinds the floor writes; the alert log is never written by it.
enum class FloorKind { System, Access };

class FloorStore final {
 public:
  // `log_root` is used as given (never created); state files go to
  // `state_dir`, which must exist.
  FloorStore(std::string log_root, std::string state_dir);

  // Appends `row` + CR LF to the file of `kind` for time `t`. Returns 0 when
  // the line was written, 1 when it was not (no log root, no file).
  int write_line(FloorKind kind, int64_t t, const std::string& row);

 private:
  struct State {
    std::string name;
    int32_t count = 0;
  };
  State read_state(const std::string& path) const;
  void save_state(const std::string& path, const State& state) const;
  // Opens the file for append; *fresh tells whether it was empty.
  int open_log(const std::string& kind_dir, const std::string& month_dir,
               const std::string& path, bool* fresh) const;

  const std::string log_root_;
  const std::string state_dir_;
};

// Builds the row of a received request body (the frame without its 2-byte
// length) into *row at time `now`; *kind and *t receive the record's kind
// and the time its line belongs to (the record's own time for a system
// record, `now` for an access record). Returns false when the body gives no
// line: not a complete access or system record, or an access to the share
// "IPC$" (the floor logs every other share).
bool floor_row(const unsigned char* body, std::size_t size, int64_t now,
               FloorKind* kind, int64_t* t, std::string* row);

#endif  // QUILLO_BENCH_FLOOR_STORE_H_
