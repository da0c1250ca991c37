#include "protocol/connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>

#include "base/big_endian.h"

namespace quillo {

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

int Connection::connect() {
  if (mode_ == Mode::Peer) return -1;
  if (!fd_) {
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

int Connection::receive(Packet& packet) {
  if (!fd_) {
    packet.set_size(0);
    errno = EBADF;
    return -1;
  }
  for (;;) {
    switch (reader_.read(fd_.get(), packet)) {
      case FrameReader::Status::kDone:
        return 0;
      case FrameReader::Status::kMore:
        if (wait_for(POLLIN) == 0) continue;
        break;
      case FrameReader::Status::kEnded:
        break;
    }
    // What the reader held belonged to the failed frame.
    const int error = errno;
    reader_ = FrameReader();
    errno = error;
    return -1;
  }
}

}  // namespace quillo
