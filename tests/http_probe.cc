#include "tests/http_probe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace quillo_test {

base::UniqueFd connect_local(int port) {
  base::UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval bound{kProbeBound.count(), 0};
  setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  if (connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    fd.reset();
  }
  return fd;
}

bool send_all(const base::UniqueFd& fd, const std::string& text) {
  for (std::size_t done = 0; done < text.size();) {
    // MSG_NOSIGNAL: a server that closes early fails the send, not the test.
    const ssize_t n =
        send(fd.get(), text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

int Reply::status() const {
  return bytes.compare(0, 7, "HTTP/1.") == 0 ? std::atoi(bytes.c_str() + 9) : 0;
}

Reply read_until_close(const base::UniqueFd& fd) {
  Reply r;
  const auto start = std::chrono::steady_clock::now();
  char buf[65536];
  ssize_t n;
  while ((n = read(fd.get(), buf, sizeof buf)) > 0 ||
         (n < 0 && errno == EINTR)) {
    if (n > 0) r.bytes.append(buf, static_cast<std::size_t>(n));
  }
  // EAGAIN is the receive bound (SO_RCVTIMEO): the server kept it open.
  r.closed = n == 0 || errno == ECONNRESET;
  r.took = std::chrono::steady_clock::now() - start;
  return r;
}

bool closed_by_server(const base::UniqueFd& fd) {
  pollfd p{fd.get(), POLLIN, 0};
  if (poll(&p, 1, 0) <= 0) return false;
  char c;
  return recv(fd.get(), &c, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
}

Reply exchange(int port, const std::string& text) {
  const base::UniqueFd fd = connect_local(port);
  if (!fd) {
    Reply refused;
    refused.closed = true;
    return refused;
  }
  // What was sent before the server closed is answered or not; either way
  // the reply tells.
  (void)send_all(fd, text);
  return read_until_close(fd);
}

}  // namespace quillo_test
