// The reading side of the frame layout, and the only code that knows it: a
// frame is a 2-byte big-endian body length, then the body. A body longer
// than kMaxBody keeps its first kMaxBody bytes (through the packet's
// set_size); the rest of it is dropped before the next frame is looked at.
//
// The reader takes a stream's bytes as they come, from a non-blocking
// socket (read) or from memory (feed), and hands out one frame at a time
// (next). Bytes that follow a whole frame stay held for the next call, so
// several frames may follow each other on one stream. What it holds is
// bounded: never past the current frame's kept body, and never more than
// kCapacity bytes from the start of a frame whose length has not been taken
// yet; so a peer that sends a long stream is read one frame at a time.
//
//   FrameReader reader;
//   RequestData request;
//   switch (reader.read(fd, request)) {
//     case FrameReader::Status::kDone:  ...   // request holds the body
//     case FrameReader::Status::kMore:  ...   // wait until fd is readable
//     case FrameReader::Status::kEnded: ...   // the stream ended or failed
//   }
//
// The writing side is append_frame(): the frame of a packet, for a
// sender that keeps its own output buffer (Connection::send writes the same
// bytes straight to its socket).
//
// One reader per stream; it is used by one thread at a time.

#ifndef QUILLO_PROTOCOL_FRAME_READER_H_
#define QUILLO_PROTOCOL_FRAME_READER_H_

#include <cstddef>
#include <vector>

#include "protocol/packet.h"

namespace quillo {

class FrameReader final {
 public:
  enum class Status {
    kMore,   // the frame is not whole yet: more bytes are needed
    kDone,   // the frame is whole in the packet
    kEnded,  // the stream ended or failed before the frame was whole
  };

  // The length field and the largest body kept.
  static constexpr std::size_t kCapacity = 2 + kMaxBody;

  // Reads, without waiting, whatever has arrived on `fd` towards the next
  // frame and decodes it into `packet`. Call again with the same packet
  // until it returns kDone or kEnded; after kDone, the next call starts the
  // next frame (with any packet). The packet's size is 0 until the frame's
  // length has been taken, then the kept size; its body is complete only
  // on kDone. kEnded leaves errno as the failing recv() left it, or as it
  // was when the stream ended.
  Status read(int fd, Packet& packet);

  // Takes up to room() of the `n` bytes at `bytes`, as if read() had
  // received them; returns how many it took.
  std::size_t feed(const unsigned char* bytes, std::size_t n);

  // Decodes from the bytes held only, as read() does between receives:
  // kDone or kMore, never kEnded.
  Status next(Packet& packet);

  // How many bytes the reader takes now. After next() returned kMore it is
  // at least 1.
  std::size_t room() const;

  // Bytes held that no frame has used yet.
  std::size_t held() const { return held_.size() - begin_; }

  // True when part of a frame has come that no kDone has handed out yet:
  // some of its length, or its length and not all of its kept body. A
  // stream that ends then ends inside a frame.
  bool mid_frame() const { return in_frame_ || held() > 0; }

 private:
  // Starts the frame whose length is at the front of the held bytes.
  void start_frame(Packet& packet);
  // Drops the used bytes; gives the memory back when nothing is held.
  void compact();

  std::vector<unsigned char> held_;  // at most kCapacity bytes
  std::size_t begin_ = 0;            // first byte of held_ not yet used
  bool in_frame_ = false;            // the current frame's length is taken
  std::size_t announced_ = 0;        // the current frame's length field
  std::size_t body_size_ = 0;        // what of it the packet keeps
  std::size_t body_got_ = 0;         // of body_size_
  std::size_t skip_ = 0;             // of an oversize body, still to drop
};

// Appends the frame of `packet` (its 2-byte length, then its body) to
// `out`.
void append_frame(const Packet& packet, std::vector<unsigned char>* out);

}  // namespace quillo

#endif  // QUILLO_PROTOCOL_FRAME_READER_H_
