// Small file-system steps shared by the log writer's files (log_file*.cc):
// the open flags for entries of the world-writable tree and the checks on
// what was opened. Internal to logstore/.

#ifndef QUILLO_LOGSTORE_TREE_IO_H_
#define QUILLO_LOGSTORE_TREE_IO_H_

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <linux/openat2.h>
#include <string>

#include "base/eintr.h"
#include "base/unique_fd.h"
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

// Opens `relative` below the folder `dir_fd` in one call when the kernel
// can refuse every link on the way (openat2, Linux 5.6); -1 with errno
// ENOSYS where it cannot, and the caller walks the path itself. With
// O_PATH | O_NOFOLLOW a link at the end is opened itself, not refused.
inline int open_beneath(int dir_fd, const std::string& relative, int flags) {
#ifdef SYS_openat2
  open_how how{};
  how.flags = static_cast<std::uint64_t>(flags);
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_BENEATH;
  return static_cast<int>(base::retry_eintr([&] {
    return ::syscall(SYS_openat2, dir_fd, relative.c_str(), &how, sizeof how);
  }));
#else
  (void)dir_fd;
  (void)relative;
  (void)flags;
  errno = ENOSYS;
  return -1;
#endif
}

// Opens `kind/month/name` below `root` with `flags` (which should hold
// O_NOFOLLOW), following no link on the way: in one call where the kernel
// can, else folder by folder. -1 when it cannot be opened.
inline int open_leaf(int root, const std::string& kind,
                     const std::string& month, const std::string& name,
                     int flags) {
  const int fd = open_beneath(root, kind + "/" + month + "/" + name, flags);
  if (fd >= 0 || errno != ENOSYS) return fd;
  const base::UniqueFd kind_fd(base::retry_eintr(
      [&] { return ::openat(root, kind.c_str(), kDirFlags); }));
  if (!kind_fd) return -1;
  const base::UniqueFd month_fd(base::retry_eintr(
      [&] { return ::openat(kind_fd.get(), month.c_str(), kDirFlags); }));
  if (!month_fd) return -1;
  return base::retry_eintr(
      [&] { return ::openat(month_fd.get(), name.c_str(), flags); });
}

}  // namespace tree_io
}  // namespace quillo

#endif  // QUILLO_LOGSTORE_TREE_IO_H_
