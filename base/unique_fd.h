// The one owner of a file descriptor.
//
//   base::UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
//   if (!fd) return -1;            // errno still set by open()
//   read(fd.get(), ...);           // closed when `fd` goes out of scope
//
// Move-only; -1 stands for "none". close() is not retried on EINTR: on
// Linux the descriptor is released whatever close() returns.

#ifndef QUILLO_BASE_UNIQUE_FD_H_
#define QUILLO_BASE_UNIQUE_FD_H_

#include <unistd.h>

#include <utility>

namespace base {

class UniqueFd final {
 public:
  UniqueFd() = default;
  // Takes ownership of `fd` (-1: none).
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  ~UniqueFd() { reset(); }

  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

  // Gives up ownership without closing; returns the descriptor.
  int release() noexcept { return std::exchange(fd_, -1); }

  // Closes the descriptor held (if any) and takes `fd` instead.
  void reset(int fd = -1) noexcept {
    const int old = std::exchange(fd_, fd);
    if (old >= 0) ::close(old);
  }

 private:
  int fd_ = -1;
};

}  // namespace base

#endif  // QUILLO_BASE_UNIQUE_FD_H_
