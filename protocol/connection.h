// One endpoint of the local stream socket: the daemon's listener, a
// connection the daemon accepted, or the client's connection.
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
#include "protocol/packet.h"

namespace quillo {

class Connection final {
 public:
  enum class Mode : int { Closed = 0, Listener = 1, Client = 2, Peer = 3 };

  // Listener or client for `path`; at most 107 characters of it are kept.
  // Makes no system call.
  explicit Connection(const std::string& path);
  // Takes ownership of an accepted descriptor.
  explicit Connection(int accepted_fd);
  ~Connection();

  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Listener: sets up the listening socket if it is not (still) there, then
  // waits for the next client. Returns its descriptor (close-on-exec), or -1.
  int accept();
  // Client: connects to the path. Returns 0 or -1.
  int connect();
  // Writes one frame: the 2-byte length and the body. Returns 0 or -1.
  int send(const Packet& packet);
  // Reads one frame into `packet`: the length (through the packet's
  // set_size, so at most kMaxBody bytes are kept), then the whole body.
  // Returns 0, or -1 when the stream failed or ended early; the packet's
  // size is then 0 if no length arrived, else the announced size.
  int receive(Packet& packet);

  // Bounds every later connect, send and receive: once `deadline` has
  // passed they fail with ETIMEDOUT. Without it they wait without limit.
  void set_deadline(std::chrono::steady_clock::time_point deadline);

  int fd() const { return fd_.get(); }
  Mode mode() const { return mode_; }

 private:
  int setup_listener();
  void close_fd();
  // Milliseconds left before the deadline for poll(): -1 without one.
  int remaining_ms() const;
  int wait_for(short events);
  int read_some(unsigned char* buf, std::size_t n, std::size_t* got);
  int read_fully(unsigned char* buf, std::size_t n, std::size_t* got);

  base::UniqueFd fd_;
  sockaddr_un address_{};
  Mode mode_ = Mode::Closed;
  bool has_deadline_ = false;
  std::chrono::steady_clock::time_point deadline_{};
};

}  // namespace quillo

#endif  // QUILLO_PROTOCOL_CONNECTION_H_
