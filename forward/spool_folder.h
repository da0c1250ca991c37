// The files of the forwarder's spool folder, and nothing of their meaning
// beyond their names and layouts:
//
//   <dir>/00000000000000000007.seg   frames "<len> <message>", back to back
//   <dir>/position                   "<segment> <offset>\n", replaced by rename
//
// Every file is opened below the folder's descriptor with O_NOFOLLOW,
// O_NONBLOCK and O_CLOEXEC and used only when it is a regular file. Once
// open() has returned, every call is safe from any thread: the descriptor
// is not changed again, and each call works on files of its own.

#ifndef QUILLO_FORWARD_SPOOL_FOLDER_H_
#define QUILLO_FORWARD_SPOOL_FOLDER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "base/unique_fd.h"

namespace quillo {

// What a position file said: a place between two frames of a segment.
struct SpoolPlace {
  std::uint64_t seq = 0;  // 0: no position recorded
  std::uint64_t offset = 0;
};

class SpoolFolder {
 public:
  explicit SpoolFolder(std::string dir) : dir_(std::move(dir)) {}
  SpoolFolder(const SpoolFolder&) = delete;
  SpoolFolder& operator=(const SpoolFolder&) = delete;

  // Makes the folder if needed (mode 0700) and opens it. 0, or -1 with
  // errno.
  int open();
  bool is_open() const { return static_cast<bool>(dir_fd_); }

  // "<dir>/<20-digit seq>.seg", for messages.
  std::string segment_path(std::uint64_t seq) const;

  // The segment `seq`, opened with `flags` (and mode 0600 when created);
  // empty with errno when it cannot be opened or is not a regular file.
  base::UniqueFd open_segment(std::uint64_t seq, int flags) const;
  void remove_segment(std::uint64_t seq) const;

  // The numbers of the segment files there, in order; -1 with errno when
  // the folder cannot be read.
  int list_segments(std::vector<std::uint64_t>* seqs) const;

  // The recorded position; seq 0 when there is none (or it does not
  // parse).
  SpoolPlace read_position() const;
  // Replaces the position file. 0, or -1 with errno.
  int write_position(const SpoolPlace& place) const;

  // The rows of the segment file `fd` of `size` bytes that lie before
  // `limit`: its frames, and one for each damaged stretch. Sets `*end` to
  // the end of the last of them. Reads as peek() does, from the segment's
  // start, so both see the same frames and damage.
  static std::uint64_t count_rows(int fd, std::uint64_t size,
                                  std::uint64_t limit, std::uint64_t* end);

 private:
  const std::string dir_;
  base::UniqueFd dir_fd_;
};

}  // namespace quillo

#endif  // QUILLO_FORWARD_SPOOL_FOLDER_H_
