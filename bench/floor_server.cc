// quillo_floor_server: the cheapest server that leaves the daemon's log
// tree, used as the yardstick for quillod's per-record cost.
//
//   QUILLO_ROOT=DIR quillo_floor_server LOG_ROOT
//
// Listens on the daemon's socket path (QUILLO_ROOT/tmp/quillo) and keeps
// its state files where the daemon keeps them. Serves one connection at a
// time, like the daemon: accept, read one frame, write the record's line
// (FloorStore), answer 00 02 00 00, close. Prints nothing; runs until
// killed.

#include <errno.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "base/root_dir.h"
#include "bench/floor_store.h"
#include "paths/appliance_paths.h"
#include "protocol/socket_path.h"

namespace {

int listen_on(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return -1;
  path.copy(address.sun_path, path.size());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  ::unlink(path.c_str());
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
          0 ||
      ::chmod(path.c_str(), 0777) != 0 || ::listen(fd, 128) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Reads exactly n bytes; false when the stream fails or ends first.
bool read_fully(int fd, unsigned char* p, std::size_t n) {
  while (n > 0) {
    const ssize_t r = ::read(fd, p, n);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

void serve(int fd, FloorStore& store, std::string& row) {
  unsigned char body[4096 + 2];
  if (!read_fully(fd, body, 2)) return;
  std::size_t size = static_cast<std::size_t>((body[0] << 8) | body[1]);
  if (size == 0) return;
  if (size > 4096) size = 4096;
  if (!read_fully(fd, body, size)) return;
  FloorKind kind;
  int64_t t = 0;
  if (floor_row(body, size, static_cast<int64_t>(std::time(nullptr)), &kind, &t,
                &row)) {
    store.write_line(kind, t, row);
  }
  static const unsigned char kAnswer[4] = {0, 2, 0, 0};
  ssize_t w;
  do {
    w = ::send(fd, kAnswer, sizeof kAnswer, MSG_NOSIGNAL);
  } while (w < 0 && errno == EINTR);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s LOG_ROOT\n", argv[0]);
    return 1;
  }
  const std::string root = base::root_from_env();
  FloorStore store(argv[1], quillo::MakePaths(root).state_dir);
  const int listener = listen_on(quillo::socket_path(root));
  if (listener < 0) {
    std::perror("floor server: listen");
    return 2;
  }
  std::string row;
  for (;;) {
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    serve(fd, store, row);
    ::close(fd);
  }
}
