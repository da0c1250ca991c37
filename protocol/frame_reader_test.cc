// The frame codec's reading side: frames in pieces, frames that follow each
// other on one stream, oversize bodies, and the bound on what is read ahead;
// and the writer's frames (Connection::send, append_frame) read back whole.

#include "protocol/frame_reader.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/unique_fd.h"
#include "protocol/connection.h"
#include "protocol/packet.h"

namespace quillo {
namespace {

using Status = FrameReader::Status;
using Bytes = std::vector<unsigned char>;

// The frame of `body` as a writer puts it on the wire.
Bytes frame_of(const std::string& body) {
  Bytes out(2 + body.size());
  out[0] = static_cast<unsigned char>(body.size() >> 8);
  out[1] = static_cast<unsigned char>(body.size() & 0xff);
  std::copy(body.begin(), body.end(), out.begin() + 2);
  return out;
}

Bytes join(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::string body_of(const Packet& p) {
  return std::string(reinterpret_cast<const char*>(p.data.get()), p.size);
}

// Feeds `bytes` in pieces of at most `piece` bytes (as far as the reader
// takes them) and collects every frame that comes out whole.
std::vector<std::string> decode(const Bytes& bytes, std::size_t piece) {
  FrameReader reader;
  std::vector<std::string> frames;
  RequestData packet;
  std::size_t at = 0;
  for (;;) {
    while (reader.next(packet) == Status::kDone) frames.push_back(body_of(packet));
    if (at == bytes.size()) return frames;
    EXPECT_GE(reader.room(), 1u);
    EXPECT_LE(reader.held(), FrameReader::kCapacity);
    const std::size_t n = std::min(piece, bytes.size() - at);
    at += reader.feed(bytes.data() + at, n);
  }
}

struct Pair {
  base::UniqueFd daemon_end, client_end;
};

Pair make_pair() {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0,
                 fds) != 0) {
    return {};
  }
  return {base::UniqueFd(fds[0]), base::UniqueFd(fds[1])};
}

void put(const base::UniqueFd& fd, const Bytes& bytes) {
  ASSERT_EQ(write(fd.get(), bytes.data(), bytes.size()),
            static_cast<ssize_t>(bytes.size()));
}

TEST(FrameReaderTest, FramesOnOneStreamComeOutInTurnWhateverThePieces) {
  const Bytes stream = join({frame_of("first"), frame_of(""),
                             frame_of(std::string(300, 'x')), frame_of("z")});
  const std::vector<std::string> expected = {"first", "",
                                             std::string(300, 'x'), "z"};
  for (std::size_t piece : {1, 2, 3, 7, 100, 5000}) {
    EXPECT_EQ(decode(stream, piece), expected) << "pieces of " << piece;
  }
}

TEST(FrameReaderTest, OversizeBodyKeepsMaxBodyAndDropsTheRest) {
  std::string big(kMaxBody, 'k');
  big += std::string(904, 'd');  // announced 5000, kept 4096
  const Bytes stream = join({frame_of(big), frame_of("next")});
  for (std::size_t piece : {1, 1000, 4098, 9000}) {
    EXPECT_EQ(decode(stream, piece),
              (std::vector<std::string>{std::string(kMaxBody, 'k'), "next"}))
        << "pieces of " << piece;
  }
}

TEST(FrameReaderTest, PacketSizeIsZeroUntilTheLengthThenTheKeptSize) {
  FrameReader reader;
  RequestData packet;
  const Bytes frame = frame_of("abcdef");
  EXPECT_EQ(reader.feed(frame.data(), 1), 1u);
  EXPECT_EQ(reader.next(packet), Status::kMore);
  EXPECT_EQ(packet.size, 0);
  // Before the length, up to a whole frame of the largest body is taken.
  EXPECT_EQ(reader.room(), FrameReader::kCapacity - 1);
  EXPECT_EQ(reader.feed(frame.data() + 1, 3), 3u);
  EXPECT_EQ(reader.next(packet), Status::kMore);
  EXPECT_EQ(packet.size, 6);
  // Inside the body, never more than the rest of it.
  EXPECT_EQ(reader.room(), 4u);
  EXPECT_EQ(reader.feed(frame.data() + 4, 10), 4u);
  EXPECT_EQ(reader.room(), 0u);
  EXPECT_EQ(reader.next(packet), Status::kDone);
  EXPECT_EQ(body_of(packet), "abcdef");
  EXPECT_EQ(reader.held(), 0u);
}

TEST(FrameReaderTest, WhatARequestLooksLikeOnTheWireIsReadBack) {
  const ReqSystemLog record("1700000000", "x", "y", "z");
  ASSERT_EQ(record.size, 0x1d);
  Pair pair = make_pair();
  ASSERT_TRUE(pair.daemon_end);
  put(pair.client_end, {0x00, 0x1d});
  put(pair.client_end, Bytes(record.data.get(), record.data.get() + record.size));
  FrameReader reader;
  RequestData got;
  ASSERT_EQ(reader.read(pair.daemon_end.get(), got), Status::kDone);
  got.reload_entry();
  const ReqSystemLog again(got);
  ASSERT_TRUE(again.well_formed());
  EXPECT_STREQ(again.time(), "1700000000");
  EXPECT_STREQ(again.text3(), "z");
}

TEST(FrameReaderTest, ReadInsideABodyStopsAtTheFramesEnd) {
  Pair pair = make_pair();
  ASSERT_TRUE(pair.daemon_end);
  FrameReader reader;
  RequestData got;
  put(pair.client_end, {0, 4, 'a'});
  EXPECT_EQ(reader.read(pair.daemon_end.get(), got), Status::kMore);
  EXPECT_EQ(got.size, 4);
  put(pair.client_end, {'b', 'c', 'd', 0, 1, 'e'});
  ASSERT_EQ(reader.read(pair.daemon_end.get(), got), Status::kDone);
  EXPECT_EQ(body_of(got), "abcd");
  // The next frame was not read with the body: it is still in the socket.
  unsigned char rest[16];
  EXPECT_EQ(recv(pair.daemon_end.get(), rest, sizeof rest, MSG_PEEK), 3);
  ASSERT_EQ(reader.read(pair.daemon_end.get(), got), Status::kDone);
  EXPECT_EQ(body_of(got), "e");
}

TEST(FrameReaderTest, FramesReadTogetherAreHandedOutOneAtATime) {
  Pair pair = make_pair();
  ASSERT_TRUE(pair.daemon_end);
  put(pair.client_end, join({frame_of("one"), frame_of("two"), {0}}));
  FrameReader reader;
  RequestData got;
  ASSERT_EQ(reader.read(pair.daemon_end.get(), got), Status::kDone);
  EXPECT_EQ(body_of(got), "one");
  EXPECT_EQ(reader.held(), 6u);
  ASSERT_EQ(reader.read(pair.daemon_end.get(), got), Status::kDone);
  EXPECT_EQ(body_of(got), "two");
  EXPECT_EQ(reader.read(pair.daemon_end.get(), got), Status::kMore);
  EXPECT_EQ(got.size, 0);  // half a length
  pair.client_end.reset();
  EXPECT_EQ(reader.read(pair.daemon_end.get(), got), Status::kEnded);
  EXPECT_EQ(got.size, 0);
}

TEST(FrameReaderTest, StreamEndingInsideTheBodyEndsWithTheKeptSize) {
  Pair pair = make_pair();
  ASSERT_TRUE(pair.daemon_end);
  put(pair.client_end, {0, 10, 1, 2, 3});
  pair.client_end.reset();
  FrameReader reader;
  RequestData got;
  EXPECT_EQ(reader.read(pair.daemon_end.get(), got), Status::kEnded);
  EXPECT_EQ(got.size, 10);
}

TEST(FrameReaderTest, EveryFrameTheWriterSendsIsReadBackWhole) {
  Pair pair = make_pair();
  ASSERT_TRUE(pair.daemon_end);
  Connection writer(pair.client_end.release());
  FrameReader reader;
  for (std::size_t size : {0, 1, 255, 256, 4000, int{kMaxBody}}) {
    Packet sent;
    sent.set_size(static_cast<unsigned short>(size));
    for (std::size_t i = 0; i < size; ++i) {
      sent.data[i] = static_cast<unsigned char>(i * 7 + size);
    }
    ASSERT_EQ(writer.send(sent), 0);
    RequestData got;
    ASSERT_EQ(reader.read(pair.daemon_end.get(), got), Status::kDone);
    EXPECT_EQ(body_of(got), body_of(sent)) << "size " << size;
  }
}

TEST(FrameReaderTest, AppendedFramesAreReadBackAndMidFrameSaysWhereItStands) {
  Bytes stream;
  append_frame(ResultData(kResultSessionOpen), &stream);
  append_frame(ReqSession(), &stream);
  append_frame(Packet(), &stream);
  EXPECT_EQ(stream, Bytes({0x00, 0x02, 0x00, 0x05, 0x00, 0x08, 0x00, 0x02, 0x00,
                           0x02, 0x00, 0x02, 0x00, 0x01, 0x00, 0x00}));
  FrameReader reader;
  RequestData packet;
  EXPECT_FALSE(reader.mid_frame());
  reader.feed(stream.data(), 1);  // half a length
  EXPECT_EQ(reader.next(packet), Status::kMore);
  EXPECT_TRUE(reader.mid_frame());
  reader.feed(stream.data() + 1, 4);  // the first frame and one more byte
  EXPECT_EQ(reader.next(packet), Status::kDone);
  EXPECT_EQ(body_of(packet), std::string("\x00\x05", 2));
  EXPECT_TRUE(reader.mid_frame());
  reader.feed(stream.data() + 5, 3);  // the length and one body byte
  EXPECT_EQ(reader.next(packet), Status::kMore);
  EXPECT_TRUE(reader.mid_frame());  // nothing held, inside the body
  // Inside a body the reader takes no more than the body's rest.
  EXPECT_EQ(reader.feed(stream.data() + 8, stream.size() - 8), 6u);
  EXPECT_EQ(reader.next(packet), Status::kDone);
  EXPECT_EQ(packet.size, 8u);
  EXPECT_EQ(ReqSession(packet).version(), kSessionVersion);
  reader.feed(stream.data() + 14, 2);
  EXPECT_EQ(reader.next(packet), Status::kDone);  // the empty frame
  EXPECT_EQ(packet.size, 0u);
  EXPECT_FALSE(reader.mid_frame());
}

}  // namespace
}  // namespace quillo
