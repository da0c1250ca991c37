// Retrying a system call that a signal interrupted.
//
//   const ssize_t n = base::retry_eintr([&] { return ::read(fd, buf, size); });
//
// The call is repeated while it returns -1 with errno EINTR; its last
// result (and errno) is returned.

#ifndef QUILLO_BASE_EINTR_H_
#define QUILLO_BASE_EINTR_H_

#include <cerrno>

namespace base {

template <typename Call>
auto retry_eintr(Call call) -> decltype(call()) {
  decltype(call()) result;
  do {
    result = call();
  } while (result == -1 && errno == EINTR);
  return result;
}

}  // namespace base

#endif  // QUILLO_BASE_EINTR_H_
