// One end of a stream on the local socket: the client's connection, or one
// the daemon (or a test's listener, see protocol/listener.h) accepted.
// Frames go out through send() and come in through receive(), which waits
// for them; its FrameReader keeps bytes that follow a frame for the next
// receive().
//
// Every operation returns -1 on failure with errno as the failing call left
// it, and prints nothing. A connection is used by one thread at a time and
// owns its descriptor, which its destructor closes.

#ifndef QUILLO_PROTOCOL_CONNECTION_H_
#define QUILLO_PROTOCOL_CONNECTION_H_

#include <sys/un.h>

#include <chrono>
#include <string>

#include "base/unique_fd.h"
#include "protocol/frame_reader.h"
#include "protocol/packet.h"

namespace quillo {

class Connection final {
 public:
  enum class Mode { Closed, Client, Peer };

  // Client for `path`; at most 107 characters of it are kept. Makes no
  // system call.
  explicit Connection(const std::string& path);
  // Takes ownership of an accepted descriptor.
  explicit Connection(int accepted_fd);
  ~Connection();

  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Client: connects to the path. Returns 0 or -1.
  int connect();
  // Writes one frame: the 2-byte length and the body. Returns 0 or -1.
  int send(const Packet& packet);
  // Reads one frame into `packet` (see FrameReader: at most kMaxBody bytes
  // of the body are kept). Returns 0, or -1 when the stream failed, ended
  // early or the deadline passed; the packet's size is then 0 if no length
  // arrived, else the kept size, and the stream's place is lost: a later
  // receive() starts afresh with the bytes that come next.
  int receive(Packet& packet);

  // Bounds every later connect, send and receive: once `deadline` has
  // passed they fail with ETIMEDOUT. Without it they wait without limit.
  void set_deadline(std::chrono::steady_clock::time_point deadline);

  int fd() const { return fd_.get(); }
  Mode mode() const { return mode_; }

 private:
  void close_fd();
  // Milliseconds left before the deadline for poll(): -1 without one.
  int remaining_ms() const;
  int wait_for(short events);

  base::UniqueFd fd_;
  FrameReader reader_;
  sockaddr_un address_{};
  Mode mode_ = Mode::Closed;
  bool has_deadline_ = false;
  std::chrono::steady_clock::time_point deadline_{};
};

}  // namespace quillo

#endif  // QUILLO_PROTOCOL_CONNECTION_H_
