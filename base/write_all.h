// The one full-write loop: a write that the kernel cuts short, or a signal
// interrupts, goes on from where it stopped.
//
//   if (!base::write_all(fd, data, size)) ...          // errno says why
//   if (!base::pwrite_all(fd, data, size, offset)) ... // at an offset
//
// A write of 0 bytes for a non-empty buffer counts as a failure (EIO), so
// the loop always ends. Async-signal-safe: usable in a signal handler.

#ifndef QUILLO_BASE_WRITE_ALL_H_
#define QUILLO_BASE_WRITE_ALL_H_

#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace base {

inline bool write_all(int fd, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

inline bool pwrite_all(int fd, const void* data, std::size_t size,
                       std::uint64_t offset) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {
      errno = EIO;
      return false;
    }
    p += n;
    offset += static_cast<std::uint64_t>(n);
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace base

#endif  // QUILLO_BASE_WRITE_ALL_H_
