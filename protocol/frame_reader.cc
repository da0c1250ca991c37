#include "protocol/frame_reader.h"

#include <sys/socket.h>

#include <cerrno>

#include "base/big_endian.h"
#include "base/eintr.h"

namespace quillo {

FrameReader::Status FrameReader::read(int fd, Packet& packet) {
  for (;;) {
    unsigned char* target;
    std::size_t wanted;
    if (header_got_ < sizeof header_) {
      target = header_ + header_got_;
      wanted = sizeof header_ - header_got_;
    } else {
      target = packet.data.get() + body_got_;
      wanted = packet.size - body_got_;
    }
    const ssize_t n = base::retry_eintr(
        [&] { return ::recv(fd, target, wanted, MSG_DONTWAIT); });
    if (n == 0) return Status::kEnded;
    if (n < 0) {
      return errno == EAGAIN || errno == EWOULDBLOCK ? Status::kMore
                                                     : Status::kEnded;
    }
    if (header_got_ < sizeof header_) {
      header_got_ += static_cast<std::size_t>(n);
      if (header_got_ < sizeof header_) continue;
      packet.set_size(base::get_be16(header_));  // at most kMaxBody kept
    } else {
      body_got_ += static_cast<std::size_t>(n);
    }
    if (header_got_ == sizeof header_ && body_got_ == packet.size) {
      return Status::kDone;
    }
  }
}

}  // namespace quillo
