#include "protocol/connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/big_endian.h"
#include "base/eintr.h"

namespace quillo {
namespace {

constexpr int kListenBacklog = 128;

}  // namespace

Connection::Connection(const std::string& path) {
  address_.sun_family = AF_UNIX;
  // The path area stays zero-filled past the copy, so it is NUL-terminated.
  path.copy(address_.sun_path, sizeof(address_.sun_path) - 1);
}

Connection::Connection(int accepted_fd) : fd_(accepted_fd), mode_(Mode::Peer) {
  address_.sun_family = AF_UNIX;
}

Connection::~Connection() { close_fd(); }

void Connection::close_fd() {
  fd_.reset();
  mode_ = Mode::Closed;
}

void Connection::set_deadline(std::chrono::steady_clock::time_point deadline) {
  has_deadline_ = true;
  deadline_ = deadline;
}

int Connection::remaining_ms() const {
  if (!has_deadline_) return -1;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline_ - std::chrono::steady_clock::now());
  // Round up so that a wait never ends before the deadline.
  return left.count() < 0 ? 0 : static_cast<int>(left.count()) + 1;
}

// Waits until the socket is ready for `events` or the deadline passes.
int Connection::wait_for(short events) {
  for (;;) {
    pollfd p{fd_.get(), events, 0};
    const int ms = remaining_ms();
    const int rc = ::poll(&p, 1, ms);
    if (rc > 0) return 0;
    if (rc == 0) {
      errno = ETIMEDOUT;
      return -1;
    }
    if (errno != EINTR) return -1;
  }
}

int Connection::setup_listener() {
  close_fd();
  fd_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd_) return -1;
  mode_ = Mode::Listener;
  ::unlink(address_.sun_path);  // a stale socket file of an earlier run
  if (::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&address_),
             sizeof(address_)) != 0) {
    close_fd();
    return -1;
  }
  ::chmod(address_.sun_path, 0777);  // any local process may connect
  if (::listen(fd_.get(), kListenBacklog) != 0) {
    close_fd();
    return -1;
  }
  return 0;
}

int Connection::accept() {
  if (mode_ == Mode::Peer) return -1;
  if (!fd_ || mode_ != Mode::Listener) {
    setup_listener();
    if (!fd_) return -1;
  }
  return base::retry_eintr(
      [&] { return ::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC); });
}

int Connection::connect() {
  if (mode_ == Mode::Peer) return -1;
  if (!fd_ || mode_ != Mode::Client) {
    close_fd();
    fd_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd_) return -1;
    mode_ = Mode::Client;
  }
  if (has_deadline_) {
    // A local connect waits while the listener's backlog is full; its send
    // timeout bounds that wait.
    const int ms = remaining_ms();
    if (ms == 0) {
      errno = ETIMEDOUT;
      return -1;
    }
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  }
  for (;;) {
    if (::connect(fd_.get(), reinterpret_cast<const sockaddr*>(&address_),
                  sizeof(address_)) == 0) {
      return 0;
    }
    if (errno != EINTR) return -1;
  }
}

int Connection::send(const Packet& packet) {
  if (!fd_) {
    errno = EBADF;
    return -1;
  }
  unsigned char header[2];
  base::put_be16(header, packet.size);
  // Header and body go out together; a short write is continued.
  iovec iov[2] = {{header, sizeof(header)}, {packet.data.get(), packet.size}};
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = packet.size > 0 ? 2 : 1;
  while (msg.msg_iovlen > 0) {
    // MSG_NOSIGNAL: a peer that has gone away is an error, not a signal.
    const ssize_t n = ::sendmsg(fd_.get(), &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
      if (wait_for(POLLOUT) != 0) return -1;
      continue;
    }
    std::size_t left = static_cast<std::size_t>(n);
    while (msg.msg_iovlen > 0 && left >= msg.msg_iov->iov_len) {
      left -= msg.msg_iov->iov_len;
      ++msg.msg_iov;
      --msg.msg_iovlen;
    }
    if (msg.msg_iovlen > 0) {
      msg.msg_iov->iov_base = static_cast<char*>(msg.msg_iov->iov_base) + left;
      msg.msg_iov->iov_len -= left;
    }
  }
  return 0;
}

// Reads at least one byte and at most n, waiting for the first; *got tells
// how many arrived.
int Connection::read_some(unsigned char* buf, std::size_t n, std::size_t* got) {
  *got = 0;
  for (;;) {
    const ssize_t r = ::recv(fd_.get(), buf, n, MSG_DONTWAIT);
    if (r > 0) {
      *got = static_cast<std::size_t>(r);
      return 0;
    }
    if (r == 0) return -1;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    if (wait_for(POLLIN) != 0) return -1;
  }
}

// Reads exactly n bytes unless the stream ends, fails or times out first;
// *got tells how many arrived.
int Connection::read_fully(unsigned char* buf, std::size_t n,
                           std::size_t* got) {
  *got = 0;
  while (*got < n) {
    const ssize_t r = ::recv(fd_.get(), buf + *got, n - *got, MSG_DONTWAIT);
    if (r > 0) {
      *got += static_cast<std::size_t>(r);
      continue;
    }
    if (r == 0) return -1;  // the peer ended the stream early
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    if (wait_for(POLLIN) != 0) return -1;
  }
  return 0;
}

int Connection::receive(Packet& packet) {
  packet.set_size(0);
  if (!fd_) {
    errno = EBADF;
    return -1;
  }
  // One read usually brings the whole frame; only a frame that arrives in
  // pieces needs more. Bytes past the frame's end are dropped: one frame is
  // all a connection carries.
  unsigned char first[2 + kMaxBody];
  std::size_t got = 0;
  if (read_some(first, sizeof(first), &got) != 0) return -1;
  if (got < 2) {
    std::size_t more = 0;
    if (read_fully(first + got, 2 - got, &more) != 0) return -1;
    got += more;
  }
  const unsigned short announced =
      static_cast<unsigned short>((first[0] << 8) | first[1]);
  packet.set_size(announced);  // virtual: a subclass may track the size
  const std::size_t have = std::min<std::size_t>(got - 2, packet.size);
  if (have > 0) std::memcpy(packet.data.get(), first + 2, have);
  if (have == packet.size) return 0;
  std::size_t rest = 0;
  return read_fully(packet.data.get() + have, packet.size - have, &rest);
}

}  // namespace quillo
