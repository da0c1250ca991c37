// The forwarder's durable spool: octet-counted frames appended to segment
// files in one folder of the state directory, and the position up to which
// the collector certainly has them.
//
//   <dir>/00000000000000000007.seg   frames "<len> <message>", back to back
//   <dir>/position                   "<segment> <offset>\n", replaced by rename
//
// Rows are appended, never synced per row: a row's frame is written before
// its log-file line (stage) and counted once that line is written (commit),
// so a crash between the two costs no row. The write segment is the newest
// and a new one is started when it would pass the segment size, and always
// after open(), so that a segment's tail is final once it is not the write
// segment (a frame cut by a crash there is skipped). Damage inside a
// segment is stepped over to the next frame start (segment_reader.h) and
// counted as at least one row.
//
// Segment numbers only grow, also across restarts: a new segment is
// numbered past every one in the folder and past the recorded position,
// so no row spooled later can lie before that position.
//
// Two positions: the send position, from which peek() reads, and the
// confirmed one behind it, which persist() writes and open() starts from.
// Over a protocol without acknowledgements they move together; over RELP
// the confirmed one follows the collector's acknowledgements, and rewind()
// takes the send position back to it when a session is lost. Confirmed
// segments and, at the size limit, the oldest ones are removed whole.
//
// Every file is opened below the folder's descriptor with O_NOFOLLOW,
// O_NONBLOCK and O_CLOEXEC and used only when it is a regular file.
//
// Not thread-safe: its owner serialises every call (the forwarder does so
// with its mutex).

#ifndef QUILLO_FORWARD_SPOOL_H_
#define QUILLO_FORWARD_SPOOL_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "base/unique_fd.h"

class Spool {
 public:
  // A place between two frames, with the frames of its segment before it.
  struct Position {
    std::uint64_t seq = 0;
    std::uint64_t offset = 0;
    std::uint64_t rows = 0;
  };

  // Whole frames from the send position, for one write to the collector.
  struct Batch {
    std::uint64_t segment = 0;
    std::uint64_t offset = 0;  // of the first frame in its segment
    std::string bytes;
    std::deque<std::size_t> frame_ends;  // end of each frame in `bytes`
    // Damage stepped over before these frames, met for the first time: at
    // least one row per damaged stretch, and where the first one began.
    std::uint64_t damaged_rows = 0;
    std::uint64_t damaged_segment = 0;
    std::uint64_t damaged_offset = 0;
  };

  Spool(std::string dir, std::uint64_t max_bytes);
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  // Makes the folder if needed, finds its segments and the sent position.
  // Returns 0, or -1 with errno when the folder cannot be used.
  int open();
  bool is_open() const { return static_cast<bool>(dir_fd_); }

  // The recorded position the last open() dropped because it lay past
  // every segment in the folder (segments removed behind the daemon's
  // back); sending then starts from the oldest segment.
  std::optional<Position> stale_position() const { return stale_position_; }

  // The path of segment `seq`, for messages.
  std::string segment_path(std::uint64_t seq) const;

  // The total size limit; segments are a quarter of it, at most 4 MiB.
  void set_max_bytes(std::uint64_t max_bytes);

  // Writes one frame after the spooled ones without spooling it yet:
  // commit() adds it, discard() takes it back (a crash in between leaves it
  // in the file, where the next open() finds it). Returns 0, or -1 with
  // errno when it could not be written whole (the segment is cut back).
  // Rows of the oldest unsent segments removed to stay within the limit
  // are added to `*dropped_rows`.
  int stage(const std::string& frame, std::uint64_t* dropped_rows);
  void commit();
  void discard();

  // stage() and commit() in one.
  int append(const std::string& frame, std::uint64_t* dropped_rows);

  // Whole frames from the send position, at most about `max_bytes` (at
  // least one frame when any is there); sent segments met on the way are
  // removed, and damage before the frames is stepped over (and counted in
  // the batch). Empty when everything was sent.
  Batch peek(std::size_t max_bytes);

  // Records that the first `bytes` bytes (`rows` frames) of `batch` were
  // sent: the send position moves past them. Ignored when the batch's
  // segment was dropped meanwhile.
  void advance(const Batch& batch, std::size_t bytes, std::uint64_t rows);

  // The send position.
  Position position() const { return {read_seq_, read_offset_, read_rows_}; }
  // Moves the confirmed position forward to `p` (a send position met
  // before); one behind it, or in a segment since dropped, is ignored.
  void confirm(const Position& p);
  // Everything sent is confirmed.
  void confirm_sent() { confirm(position()); }
  // Takes the send position back to the confirmed one: what was sent
  // after it goes again.
  void rewind();

  // Writes the position file when the confirmed position moved since the
  // last write. Returns 0 or -1 with errno.
  int persist();

  // Whether any spooled frame lies past the send position. Cheap.
  bool has_unsent() const;

  std::uint64_t total_bytes() const { return total_bytes_; }
  std::uint64_t unsent_rows() const;

 private:
  struct Segment {
    std::uint64_t seq = 0;
    std::uint64_t size = 0;
    std::uint64_t rows = 0;
    bool final = true;  // no longer written to
  };

  base::UniqueFd open_segment(std::uint64_t seq, int flags) const;
  void remove_front();
  // Removes the final segments the confirmed position has passed.
  void remove_confirmed();
  // Cuts the write segment back to its spooled end.
  void discard_bytes();
  int start_segment();
  void drop_to_limit(std::size_t incoming, std::uint64_t* dropped_rows);
  // The rows of a segment file of `size` bytes that lie before `limit`: its
  // frames, and one for each damaged stretch. Sets `*end` to the end of the
  // last of them.
  static std::uint64_t count_rows(int fd, std::uint64_t size,
                                  std::uint64_t limit, std::uint64_t* end);
  // Moves the send position past a stretch of segment `s` the reader
  // stepped over (damage: counted in `*batch` when met for the first time).
  void step_over(const Segment& s, std::uint64_t len, bool damage,
                 Batch* batch);

  const std::string dir_;
  std::uint64_t max_bytes_;
  std::uint64_t segment_bytes_;
  base::UniqueFd dir_fd_;
  std::deque<Segment> segments_;  // oldest first; back() may be written
  base::UniqueFd write_fd_;       // of segments_.back() when not final
  std::uint64_t staged_ = 0;      // bytes written past segments_.back().size
  std::uint64_t next_seq_ = 1;
  std::uint64_t total_bytes_ = 0;
  // The send position: a segment and an offset in it, with the frames
  // before it.
  std::uint64_t read_seq_ = 0;
  std::uint64_t read_offset_ = 0;
  std::uint64_t read_rows_ = 0;
  Position confirmed_;  // never past the send position
  bool dirty_ = false;  // the confirmed position moved since persist()
  base::UniqueFd read_fd_;
  std::uint64_t read_fd_seq_ = 0;
  std::optional<Position> stale_position_;
  // The end of the furthest damaged stretch counted: one the send position
  // meets again after a rewind() is not counted twice.
  Position damage_seen_;
};

#endif  // QUILLO_FORWARD_SPOOL_H_
