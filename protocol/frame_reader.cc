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
    if (next(packet) == Status::kDone) return Status::kDone;
    ssize_t n;
    if (in_frame_) {
      // Inside a body nothing is held (next() took it all): the rest goes
      // straight into the packet, and no read reaches past the frame.
      n = base::retry_eintr([&] {
        return ::recv(fd, packet.data.get() + body_got_,
                      body_size_ - body_got_, MSG_DONTWAIT);
      });
      if (n > 0) body_got_ += static_cast<std::size_t>(n);
    } else {
      // Usually the whole frame is there: one read takes it.
      unsigned char chunk[kCapacity];
      n = base::retry_eintr(
          [&] { return ::recv(fd, chunk, room(), MSG_DONTWAIT); });
      if (n > 0) feed(chunk, static_cast<std::size_t>(n));
    }
    if (n == 0) return Status::kEnded;
    if (n < 0) {
      return errno == EAGAIN || errno == EWOULDBLOCK ? Status::kMore
                                                     : Status::kEnded;
    }
  }
}

std::size_t FrameReader::feed(const unsigned char* bytes, std::size_t n) {
  compact();
  const std::size_t taken = std::min(n, room());
  held_.insert(held_.end(), bytes, bytes + taken);
  return taken;
}

std::size_t FrameReader::room() const {
  if (!in_frame_) return kCapacity - held();
  const std::size_t needed = body_size_ - body_got_;
  return needed > held() ? needed - held() : 0;
}

void FrameReader::start_frame(Packet& packet) {
  announced_ = base::get_be16(held_.data() + begin_);
  begin_ += 2;
  body_size_ = packet.set_size(static_cast<unsigned short>(announced_));
  body_got_ = 0;
  in_frame_ = true;
}

FrameReader::Status FrameReader::next(Packet& packet) {
  const std::size_t dropped = std::min(skip_, held());
  begin_ += dropped;
  skip_ -= dropped;
  if (!in_frame_) {
    if (packet.size != 0) packet.set_size(0);  // no length taken yet
    if (skip_ > 0 || held() < 2) {
      compact();
      return Status::kMore;
    }
    start_frame(packet);
  }
  const std::size_t n = std::min(held(), body_size_ - body_got_);
  if (n > 0) std::memcpy(packet.data.get() + body_got_, &held_[begin_], n);
  begin_ += n;
  body_got_ += n;
  compact();
  if (body_got_ < body_size_) return Status::kMore;
  in_frame_ = false;
  // An oversize body's rest is not waited for: the frame is done once its
  // kept part is here, and the rest is dropped as it comes.
  skip_ = announced_ - body_size_;
  return Status::kDone;
}

void append_frame(const Packet& packet, std::vector<unsigned char>* out) {
  unsigned char length[2];
  base::put_be16(length, packet.size);
  out->insert(out->end(), length, length + 2);
  out->insert(out->end(), packet.data.get(), packet.data.get() + packet.size);
}

void FrameReader::compact() {
  if (begin_ == held_.size()) {
    std::vector<unsigned char>().swap(held_);
  } else if (begin_ > 0) {
    held_.erase(held_.begin(), held_.begin() + static_cast<long>(begin_));
  }
  begin_ = 0;
}

}  // namespace quillo
