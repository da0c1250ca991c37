// Small file-system steps shared by the log writer's files (log_file*.cc):
// the open flags for entries of the world-writable tree and the checks on
// what was opened. Internal to logstore/.

#ifndef QUILLO_LOGSTORE_TREE_IO_H_
#define QUILLO_LOGSTORE_TREE_IO_H_

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "base/eintr.h"
#include "logstore/log_file.h"

namespace quillo {
namespace tree_io {

// Flags for files we did not make: no link is followed, and a FIFO planted
// in a file's place fails at once (ENXIO) or is found by fstat() instead of
// blocking the open.
inline constexpr int kNoFollow = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
inline constexpr int kDirFlags =
    O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

inline void cut_back(int fd, std::int64_t size) {
  base::retry_eintr([&] { return ::ftruncate(fd, static_cast<off_t>(size)); });
}

inline bool is_regular(int fd, struct stat* st) {
  return ::fstat(fd, st) == 0 && S_ISREG(st->st_mode);
}

inline FileIdentity identity_of(const struct stat& st) {
  return FileIdentity{st.st_dev, st.st_ino};
}

}  // namespace tree_io
}  // namespace quillo

#endif  // QUILLO_LOGSTORE_TREE_IO_H_
