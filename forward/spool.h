// The forwarder's durable spool: octet-counted frames appended to segment
// files in one folder of the state directory (spool_folder.h), and the
// position up to which the collector certainly has them.
//
// Rows are appended, never synced per row: a row's frame is written before
// its log-file line (stage) and counted once that line is written (commit),
// so a crash between the two costs no row. The rows of one group commit are
// staged one after the other and then counted in together. The write
// segment is the newest
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
// confirmed one behind it, which persist() writes and scan() starts from.
// Over a protocol without acknowledgements they move together; over RELP
// the confirmed one follows the collector's acknowledgements, and rewind()
// takes the send position back to it when a session is lost. Confirmed
// segments and, at the size limit, the oldest ones are removed whole.
//
// Two parties share a spool, each a thread of its own (or one thread
// playing both): the writer, which calls prepare(), set_max_bytes(),
// stage(), commit(), discard() and append(), and the reader, which calls
// scan() and every other non-const call. The segment table and the
// positions are guarded by the spool's own mutex, which is held only for
// work in memory: every file is written, read, made or removed with it
// free, so the writer never waits on the reader's disk. The writer alone
// writes the write segment, and only past its committed end; the reader
// reads only up to the committed ends it saw.

#ifndef QUILLO_FORWARD_SPOOL_H_
#define QUILLO_FORWARD_SPOOL_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "base/thread_annotations.h"
#include "base/unique_fd.h"
#include "forward/spool_folder.h"
#include "support/thread/mutex.h"

namespace quillo {

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
    std::uint64_t rows = 0;    // frames of its segment before the first
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

  // prepare() and scan() in one, for a spool with one user. Returns 0, or
  // -1 with errno when the folder cannot be used.
  int open() EXCLUDES(mu_);
  bool is_open() const EXCLUDES(mu_);

  // The path of segment `seq`, for messages.
  std::string segment_path(std::uint64_t seq) const {
    return folder_.segment_path(seq);
  }

  // Without the mutex: the total as of the last change.
  std::uint64_t total_bytes() const { return total_seen_; }
  std::uint64_t unsent_rows() const EXCLUDES(mu_);
  // Whether any spooled frame lies past the send position.
  bool has_unsent() const EXCLUDES(mu_);

  // The writer's calls.

  // Makes the folder if needed and numbers the segments to come past the
  // ones there and the recorded position (a listing, no segment read);
  // scan() takes in the segments found. Returns 0, or -1 with errno.
  int prepare() EXCLUDES(mu_);

  // The recorded position the last prepare() dropped because it lay past
  // every segment in the folder (segments removed behind the daemon's
  // back); sending then starts from the oldest segment.
  std::optional<Position> stale_position() const { return stale_position_; }

  // The total size limit; segments are a quarter of it, at most 4 MiB.
  void set_max_bytes(std::uint64_t max_bytes) EXCLUDES(mu_);

  // Writes one frame after the spooled ones and those staged since the
  // last commit() or discard(), without spooling it yet: commit() adds the
  // staged frames, discard() takes them back (a crash in between leaves
  // them in the file, where the next scan() finds them). Returns 0, or -1
  // with errno when it could not be written whole (the segment is cut back
  // to the frames staged before it; should even that fail, those are lost
  // too and the following stages fail until the commit or discard). The
  // frames staged together go to one segment, which a long pass can so
  // take past the segment size. Rows of the oldest unsent segments removed
  // to stay within the limit are added to `*dropped_rows`.
  int stage(const std::string& frame, std::uint64_t* dropped_rows)
      EXCLUDES(mu_);
  void commit() EXCLUDES(mu_);
  void discard() EXCLUDES(mu_);
  // Commits the staged frames whose entry in `keep` (one per frame, in
  // staging order) is true and takes back the others: the kept frames are
  // written again, closed up, over the staged ones. Returns how many were
  // committed; none when `keep` does not match the staged frames or the
  // rewrite fails.
  std::size_t commit_kept(const std::vector<bool>& keep) EXCLUDES(mu_);
  // Frames staged and not yet committed or discarded.
  std::size_t staged_frames() const { return staged_frames_.size(); }
  // stage() and commit() in one.
  int append(const std::string& frame, std::uint64_t* dropped_rows)
      EXCLUDES(mu_);

  // The reader's calls.

  // Whether the last prepare() has not been followed by scan() yet: until
  // then peek() offers nothing and persist() writes nothing.
  bool needs_scan() const EXCLUDES(mu_);
  // Reads the segments prepare() found: removes those the recorded
  // position has passed, counts the rows of the others and puts them in
  // front of any written since, and starts the send position there.
  void scan() EXCLUDES(mu_);

  // Whole frames from the send position, at most about `max_bytes` (at
  // least one frame when any is there); sent segments met on the way are
  // removed, and damage before the frames is stepped over (and counted in
  // the batch). Empty when everything was sent.
  Batch peek(std::size_t max_bytes) EXCLUDES(mu_);

  // Records that the first `bytes` bytes (`rows` frames) of `batch` were
  // sent: the send position moves past them. Ignored when the batch's
  // segment was dropped meanwhile.
  void advance(const Batch& batch, std::size_t bytes, std::uint64_t rows)
      EXCLUDES(mu_);

  // The send position.
  Position position() const EXCLUDES(mu_);
  // Moves the confirmed position forward to `p` (a send position met
  // before); one behind it, or in a segment since dropped, is ignored.
  void confirm(const Position& p) EXCLUDES(mu_);
  // Everything sent is confirmed.
  void confirm_sent() EXCLUDES(mu_);
  // Takes the send position back to the confirmed one: what was sent
  // after it goes again.
  void rewind() EXCLUDES(mu_);

  // Writes the position file when the confirmed position moved since the
  // last write. Returns 0 or -1 with errno.
  int persist() EXCLUDES(mu_);

 private:
  struct Segment {
    std::uint64_t seq = 0;
    std::uint64_t size = 0;  // committed: whole frames, each counted
    std::uint64_t rows = 0;
    bool final = true;  // no longer written to
  };
  // A stretch the reader stepped over, to be applied to the position.
  struct Step {
    std::uint64_t len;
    bool damage;
  };
  // What the reader read of one segment from the send position.
  struct Read {
    Segment segment;           // as it was when the read began
    std::uint64_t offset = 0;  // the send position then
    std::vector<Step> steps;   // before the frames, or instead of them
    std::string bytes;         // whole frames
    std::deque<std::size_t> frame_ends;
  };
  // The segments found by prepare() and the position recorded then.
  struct Listing {
    std::vector<std::uint64_t> seqs;
    SpoolPlace place;
    bool stale = false;  // the recorded position was dropped
  };

  // The recorded position of `listing` when it lies past every segment
  // there, which it then drops.
  static std::optional<Position> drop_stale(Listing* listing);
  void add_total(std::uint64_t bytes) REQUIRES(mu_);
  void sub_total(std::uint64_t bytes) REQUIRES(mu_);
  // Removes the front segment from the table; the caller removes its file.
  void pop_front() REQUIRES(mu_);
  // Takes the final segments the confirmed position passed off the table.
  void take_confirmed(std::vector<std::uint64_t>* doomed) REQUIRES(mu_);
  // Takes the oldest segments off the table until `incoming` more bytes
  // fit the limit.
  void take_to_limit(std::size_t incoming, std::uint64_t* dropped_rows,
                     std::vector<std::uint64_t>* doomed) REQUIRES(mu_);
  void remove_files(const std::vector<std::uint64_t>& seqs) const;
  // Starts a new write segment; -1 with errno when it cannot be made.
  int start_segment() EXCLUDES(mu_);
  // Cuts the write segment back to `keep` bytes past its committed end;
  // when that fails the segment is written no more and every staged frame
  // is lost.
  void discard_bytes(std::uint64_t keep) EXCLUDES(mu_);
  // Counts `bytes` (`rows` frames) past the committed end in; ends the
  // pass.
  void count_in(std::uint64_t bytes, std::uint64_t rows) EXCLUDES(mu_);
  void forget_staged();
  // The segment the send position is in or comes to next with bytes to
  // read; moves the position over segments read to their end. False when
  // there is none now.
  bool next_to_read(Read* read) REQUIRES(mu_);
  // Reads frames of `read->segment`, without the mutex.
  void read_frames(std::size_t max_bytes, Read* read);
  // Applies a read, moving its frames into `batch`: false when the table
  // changed under it (the segment was dropped), and then the read is
  // forgotten.
  bool apply(Read* read, Batch* batch) REQUIRES(mu_);
  // Moves the send position past a stretch of segment `seq` the reader
  // stepped over (damage: counted in `*batch` when met for the first time).
  void step_over(std::uint64_t seq, const Step& step, Batch* batch)
      REQUIRES(mu_);
  void confirm_locked(const Position& p) REQUIRES(mu_);
  // A segment of the folder, read whole; seq 0 when it cannot be read.
  Segment scan_segment(std::uint64_t seq) const;
  // Puts the segments scan() found in front of the table and starts both
  // positions at `start` (none: at the oldest segment).
  void install(std::deque<Segment> found, std::optional<Position> start,
               bool stale) EXCLUDES(mu_);

  SpoolFolder folder_;  // open() once before any other use, then const

  mutable Mutex mu_;
  std::uint64_t max_bytes_ GUARDED_BY(mu_);
  std::uint64_t segment_bytes_ GUARDED_BY(mu_);
  bool open_ GUARDED_BY(mu_) = false;
  std::optional<Listing> listing_ GUARDED_BY(mu_);  // not yet scanned
  // Oldest first; back() may be written.
  std::deque<Segment> segments_ GUARDED_BY(mu_);
  std::uint64_t next_seq_ GUARDED_BY(mu_) = 1;
  std::uint64_t total_bytes_ GUARDED_BY(mu_) = 0;
  // total_bytes_ for readers that do not take the mutex; set with it held.
  std::atomic<std::uint64_t> total_seen_{0};
  Position read_ GUARDED_BY(mu_);       // the send position
  Position confirmed_ GUARDED_BY(mu_);  // never past the send position
  bool dirty_ GUARDED_BY(mu_) = false;  // confirmed moved since persist()
  // The end of the furthest damaged stretch counted: one the send position
  // meets again after a rewind() is not counted twice.
  Position damage_seen_ GUARDED_BY(mu_);

  // The writer's own.
  base::UniqueFd write_fd_;      // of segments_.back() when not final
  std::uint64_t write_end_ = 0;  // its committed size
  std::uint64_t staged_ = 0;     // bytes written past write_end_
  // The frames behind staged_, for a commit that keeps only some.
  std::vector<std::string> staged_frames_;
  bool staged_lost_ = false;  // until the pass ends, stage() fails

  std::optional<Position> stale_position_;

  // The reader's own.
  base::UniqueFd read_fd_;
  std::uint64_t read_fd_seq_ = 0;
};

}  // namespace quillo

#endif  // QUILLO_FORWARD_SPOOL_H_
