// Assembles one request frame from a non-blocking stream in as many reads
// as it takes, so that a server can wait on many peers at once. The frame
// is the one Connection::receive() reads: the 2-byte length (the body kept
// to at most kMaxBody bytes, through the packet's set_size), then the body.
// Bytes past the frame's end are dropped: one frame is all a connection
// carries.
//
// One reader per peer; it is used by one thread.

#ifndef QUILLO_PROTOCOL_FRAME_READER_H_
#define QUILLO_PROTOCOL_FRAME_READER_H_

#include <cstddef>

#include "protocol/packet.h"

namespace quillo {

class FrameReader {
 public:
  enum class Status {
    kMore,   // nothing more has arrived yet; read again when readable
    kDone,   // the frame is whole in the packet
    kEnded,  // the stream ended or failed before the frame was whole
  };

  // Reads, without waiting, whatever has arrived on `fd` towards the frame
  // and stores it in `packet` (whose size is 0 until the length arrived).
  // Call again with the same packet until it returns kDone or kEnded.
  Status read(int fd, Packet& packet);

 private:
  unsigned char header_[2] = {0, 0};
  std::size_t header_got_ = 0;
  std::size_t body_got_ = 0;
};

}  // namespace quillo

#endif  // QUILLO_PROTOCOL_FRAME_READER_H_
