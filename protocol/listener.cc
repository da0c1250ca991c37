#include "protocol/listener.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "base/console.h"
#include "base/eintr.h"

namespace quillo {
namespace {

constexpr int kListenBacklog = 128;

sockaddr_un address_of(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  // The caller has checked the length; the rest stays zero-filled.
  path.copy(address.sun_path, sizeof(address.sun_path) - 1);
  return address;
}

// Whether a process accepts connections on the socket at `path`. A full
// backlog (EAGAIN) is a live socket too.
bool is_live(const std::string& path) {
  const base::UniqueFd probe(
      ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!probe) return false;
  const sockaddr_un address = address_of(path);
  const int rc = base::retry_eintr([&] {
    return ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address),
                     sizeof(address));
  });
  return rc == 0 || errno == EAGAIN || errno == EINPROGRESS;
}

}  // namespace

Listener::Listener(std::string path) : path_(std::move(path)) {}

bool Listener::served_elsewhere() const {
  struct stat st;
  return ::lstat(path_.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) &&
         is_live(path_);
}

Listener::Open Listener::clear_path() {
  struct stat st;
  if (::lstat(path_.c_str(), &st) != 0) {
    return errno == ENOENT ? Open::kOk : Open::kFailed;
  }
  if (S_ISSOCK(st.st_mode)) {
    if (is_live(path_)) return Open::kBusy;
    // Left by an earlier run.
    if (::unlink(path_.c_str()) != 0 && errno != ENOENT) return Open::kFailed;
    return Open::kOk;
  }
  // Someone else's: a folder, a file, a link, a FIFO. Not followed, not
  // deleted: moved out of the way where its owner can find it.
  const std::string aside = path_ + ".stale." + std::to_string(::getpid());
  if (::rename(path_.c_str(), aside.c_str()) != 0) return Open::kFailed;
  base::complain("Not a socket at " + path_ + ": moved aside to " + aside +
                 "\n");
  return Open::kOk;
}

Listener::Open Listener::open() {
  // Taken while descriptors are plentiful, at the first opening.
  if (!reserve_) reserve_.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  fd_.reset();
  const Open cleared = clear_path();
  if (cleared != Open::kOk) return cleared;
  base::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) return Open::kFailed;
  const sockaddr_un address = address_of(path_);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address),
             sizeof(address)) != 0) {
    return Open::kFailed;
  }
  // Any local process may connect. The socket is root's in a sticky
  // folder, so the name cannot be swapped before this; a link would not be
  // followed anyway.
  // A socket clients could not open is as good as none.
  struct stat st;
  if (::fchmodat(AT_FDCWD, path_.c_str(), 0777, AT_SYMLINK_NOFOLLOW) != 0 ||
      ::listen(fd.get(), kListenBacklog) != 0 ||
      ::lstat(path_.c_str(), &st) != 0) {
    return Open::kFailed;
  }
  // A blocking accept() wakes for a client, a signal or this time-out,
  // whichever comes first: the loop looks at the socket file then.
  const timeval bound{kAcceptWaitSeconds, 0};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  dev_ = st.st_dev;
  ino_ = st.st_ino;
  fd_ = std::move(fd);
  return Open::kOk;
}

bool Listener::check() {
  struct stat st;
  if (fd_ && ::lstat(path_.c_str(), &st) == 0 && st.st_dev == dev_ &&
      st.st_ino == ino_) {
    return false;
  }
  const bool was_open = is_open();
  const Open opened = open();
  if (opened == Open::kOk) {
    if (was_open)
      base::complain("Socket " + path_ + " was gone: made again.\n");
    busy_reported_ = false;
    return true;
  }
  if (opened == Open::kBusy && !busy_reported_) {
    base::complain("Socket " + path_ + " is served by another process.\n");
    busy_reported_ = true;
  }
  return false;
}

int Listener::accept() {
  if (!fd_) {
    errno = EBADF;
    return -1;
  }
  // Not retried on EINTR: a signal is a reason for the loop to look round.
  const int fd =
      ::accept4(fd_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd >= 0 || (errno != EMFILE && errno != ENFILE) || !reserve_) return fd;
  const int error = errno;
  // accept() fails for want of a descriptor before it looks for a client:
  // the blocking socket must not be waited on when nobody is there.
  pollfd waiting{fd_.get(), POLLIN, 0};
  if (::poll(&waiting, 1, 0) != 1) {
    errno = error;
    return -1;
  }
  reserve_.reset();
  const int dropped =
      ::accept4(fd_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (dropped >= 0) ::close(dropped);
  reserve_.reset(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  errno = dropped >= 0 ? ECONNABORTED : error;
  return -1;
}

}  // namespace quillo
