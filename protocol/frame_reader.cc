#include "protocol/frame_reader.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/big_endian.h"
#include "base/eintr.h"

namespace quillo {

FrameReader::Status FrameReader::read(int fd, Packet& packet) {
  for (;;) {
    if (header_got_ < sizeof header_) {
      // Usually the whole frame is there: one read takes it, and what
      // follows the length goes straight into the body. Bytes past the
      // frame's end are dropped: one frame is all a connection carries.
      unsigned char first[2 + kMaxBody];
      const std::size_t wanted = sizeof header_ - header_got_ + kMaxBody;
      const ssize_t n = base::retry_eintr(
          [&] { return ::recv(fd, first, wanted, MSG_DONTWAIT); });
      if (n == 0) return Status::kEnded;
      if (n < 0) {
        return errno == EAGAIN || errno == EWOULDBLOCK ? Status::kMore
                                                       : Status::kEnded;
      }
      const std::size_t got = static_cast<std::size_t>(n);
      const std::size_t used = std::min(got, sizeof header_ - header_got_);
      std::memcpy(header_ + header_got_, first, used);
      header_got_ += used;
      if (header_got_ == sizeof header_) {
        packet.set_size(base::get_be16(header_));  // at most kMaxBody kept
        const std::size_t body = std::min(got - used, std::size_t{packet.size});
        if (body > 0) std::memcpy(packet.data.get(), first + used, body);
        body_got_ = body;
      }
      if (header_got_ == sizeof header_ && body_got_ == packet.size) {
        return Status::kDone;
      }
      continue;
    }
    const ssize_t n = base::retry_eintr([&] {
      return ::recv(fd, packet.data.get() + body_got_, packet.size - body_got_,
                    MSG_DONTWAIT);
    });
    if (n == 0) return Status::kEnded;
    if (n < 0) {
      return errno == EAGAIN || errno == EWOULDBLOCK ? Status::kMore
                                                     : Status::kEnded;
    }
    body_got_ += static_cast<std::size_t>(n);
    if (body_got_ == packet.size) return Status::kDone;
  }
}

}  // namespace quillo
