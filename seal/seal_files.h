// The file operations of the sealing state (internal to seal/): every
// object is opened below a folder's descriptor, nothing is followed, and
// an object is used only when it is of the right type, owned by the
// process's user and closed to group and others. Nothing here raises or
// prints; the reasons are returned as text.

#ifndef QUILLO_SEAL_SEAL_FILES_H_
#define QUILLO_SEAL_SEAL_FILES_H_

#include <fcntl.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

#include "base/unique_fd.h"

namespace quillo {
namespace seal_files {

// Added to the flags of every file open. O_NONBLOCK: a FIFO put in place
// of a file must not hang the open; it is refused by its type right after.
inline constexpr int kFileFlags = O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

// strerror_r's text for `error`.
std::string errno_text(int error);

// `name` below `dir`, opened with `flags` (O_CREAT makes a file 0600) and
// nothing followed, when it is a safe object of `type` (S_IFREG or
// S_IFDIR). Otherwise empty, with *err the open's errno (0 when the object
// is there but unsafe) and *reason why.
base::UniqueFd open_safe(int dir, const char* name, int flags, mode_t type,
                         std::string* reason, int* err);

// open_safe() of the regular file `name` below `dir`; "not opened" when
// `dir` holds no descriptor.
base::UniqueFd open_in(const base::UniqueFd& dir, const char* name, int flags,
                       std::string* reason, int* err);

// The folder `name` below `parent`, opened as open_safe() does; made 0700
// when missing.
base::UniqueFd make_folder(int parent, const char* name, std::string* reason);

// The rest of `fd`'s content, up to about `limit` bytes (whole reads);
// false on a read error, with errno set.
bool read_all(int fd, std::string* out, std::size_t limit);

// Appends `data` in one write at the end of `fd`, fsync()ed when `sync`
// is set. A write cut short is cut back off, so that the file never keeps
// part of `data`.
bool append_whole(int fd, const std::string& data, bool sync,
                  std::string* reason);

}  // namespace seal_files
}  // namespace quillo

#endif  // QUILLO_SEAL_SEAL_FILES_H_
