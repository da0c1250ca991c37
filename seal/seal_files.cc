#include "seal/seal_files.h"

#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/eintr.h"
#include "base/write_all.h"

namespace quillo {
namespace seal_files {

namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Why the opened `fd` may not be used, or "" when it may: it is of
// `type`, owned by the process's user and closed to group and others.
std::string unsafe_reason(int fd, mode_t type) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return errno_text(errno);
  if ((st.st_mode & S_IFMT) != type) {
    return type == S_IFDIR ? "not a folder" : "not a regular file";
  }
  if (st.st_uid != ::geteuid()) {
    return "owned by user " + std::to_string(st.st_uid) + ", not " +
           std::to_string(::geteuid());
  }
  if ((st.st_mode & 077) != 0) return "open to group or others";
  return "";
}

}  // namespace

std::string errno_text(int error) {
  char buf[128];
  // GNU strerror_r: returns the text, in buf or static.
  return strerror_r(error, buf, sizeof(buf));
}

base::UniqueFd open_safe(int dir, const char* name, int flags, mode_t type,
                         std::string* reason, int* err) {
  const int all = flags | (type == S_IFDIR ? kDirFlags : kFileFlags);
  base::UniqueFd fd(
      base::retry_eintr([&] { return ::openat(dir, name, all, 0600); }));
  *err = fd ? 0 : errno;
  if (!fd) {
    // O_NOFOLLOW makes a symbolic link ELOOP, or ENOTDIR with
    // O_DIRECTORY.
    if (*err == ELOOP) {
      *reason = "a symbolic link (not followed)";
    } else if (*err == ENOTDIR && type == S_IFDIR) {
      *reason = "not a folder (symbolic links are not followed)";
    } else {
      *reason = errno_text(*err);
    }
    return fd;
  }
  *reason = unsafe_reason(fd.get(), type);
  if (!reason->empty()) fd.reset();
  return fd;
}

base::UniqueFd make_folder(int parent, const char* name, std::string* reason) {
  const bool made = ::mkdirat(parent, name, 0700) == 0;
  if (!made && errno != EEXIST) {
    *reason = errno_text(errno);
    return base::UniqueFd();
  }
  int err = 0;
  base::UniqueFd fd = open_safe(parent, name, 0, S_IFDIR, reason, &err);
  // A new folder's mode is set exact whatever the umask; one that was
  // there already is taken only as it is.
  if (fd && made && ::fchmod(fd.get(), 0700) != 0) {
    *reason = errno_text(errno);
    fd.reset();
  }
  return fd;
}

base::UniqueFd open_in(const base::UniqueFd& dir, const char* name, int flags,
                       std::string* reason, int* err) {
  *err = 0;
  if (!dir) {
    *reason = "not opened";
    return base::UniqueFd();
  }
  return open_safe(dir.get(), name, flags, S_IFREG, reason, err);
}

bool read_all(int fd, std::string* out, std::size_t limit) {
  out->clear();
  char buf[65536];
  while (out->size() < limit) {
    const ssize_t n =
        base::retry_eintr([&] { return ::read(fd, buf, sizeof(buf)); });
    if (n < 0) return false;
    if (n == 0) return true;
    out->append(buf, static_cast<std::size_t>(n));
  }
  return true;
}

bool append_whole(int fd, const std::string& data, bool sync,
                  std::string* reason) {
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    *reason = errno_text(errno);
    return false;
  }
  if (!base::write_all(fd, data.data(), data.size())) {
    *reason = errno_text(errno);
    // Back to the old end; should that fail too, the reason given is
    // still the write's.
    if (::ftruncate(fd, st.st_size) != 0) return false;
    return false;
  }
  if (sync && ::fsync(fd) != 0) {
    *reason = errno_text(errno);
    return false;
  }
  return true;
}

}  // namespace seal_files
}  // namespace quillo
