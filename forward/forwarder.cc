#include "forward/forwarder.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "base/console.h"
#include "base/eintr.h"

namespace {

using Clock = std::chrono::steady_clock;

// Bytes taken from the spool for one write to the collector.
constexpr std::size_t kBatchBytes = 64u << 10;
// Longest wait for a connection, and for the collector to take a batch:
// a collector that stops reading costs a reconnect, never a hung thread.
constexpr std::chrono::seconds kConnectTimeout{10};
constexpr std::chrono::seconds kWriteTimeout{30};
// The position goes to disk at most this long after the rows were sent (and
// at once when everything was sent).
constexpr std::chrono::seconds kPersistInterval{1};
// A send of less than a whole batch waits this long first, so that rows
// coming one by one go out (and wake the collector) a batch at a time.
constexpr std::chrono::milliseconds kGather{20};
// Drops and spool failures are reported at most this often.
constexpr std::chrono::seconds kReportInterval{60};

int poll_ms(Clock::time_point deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<long long>(left.count(), 0));
}

// A connected TCP socket to `host`:`port`, or an empty one (errno set).
base::UniqueFd connect_tcp(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0) {
    errno = EHOSTUNREACH;
    return base::UniqueFd();
  }
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, &::freeaddrinfo);
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    base::UniqueFd fd(::socket(a->ai_family,
                               a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                               a->ai_protocol));
    if (!fd) continue;
    if (::connect(fd.get(), a->ai_addr, a->ai_addrlen) != 0) {
      if (errno != EINPROGRESS) continue;
      const Clock::time_point deadline = Clock::now() + kConnectTimeout;
      pollfd p{fd.get(), POLLOUT, 0};
      int ready;
      do {
        ready = ::poll(&p, 1, poll_ms(deadline));
      } while (ready < 0 && errno == EINTR);
      int error = 0;
      socklen_t len = sizeof(error);
      if (ready <= 0 ||
          ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &len) != 0 ||
          error != 0) {
        errno = ready == 0 ? ETIMEDOUT : error;
        continue;
      }
    }
    return fd;
  }
  return base::UniqueFd();
}

// Whether the collector closed (or reset) an idle connection: it sends
// nothing over plain TCP, so anything readable means the end.
bool peer_closed(int fd) {
  pollfd p{fd, POLLIN | POLLRDHUP, 0};
  const int ready = base::retry_eintr([&] { return ::poll(&p, 1, 0); });
  if (ready <= 0) return false;
  if ((p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) return true;
  char byte;
  const ssize_t n = base::retry_eintr(
      [&] { return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT); });
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// Writes `data` with a deadline; returns the bytes written (all of them on
// success).
std::size_t write_with_deadline(int fd, const std::string& data) {
  const Clock::time_point deadline = Clock::now() + kWriteTimeout;
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::send(fd, data.data() + done, data.size() - done,
                             MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd, POLLOUT, 0};
      const int ready = ::poll(&p, 1, poll_ms(deadline));
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0 || (p.revents & (POLLERR | POLLHUP)) != 0) break;
      continue;
    }
    break;
  }
  return done;
}

}  // namespace

Forwarder::Forwarder(std::string spool_dir, std::chrono::seconds backoff_max,
                     SyslogOrigin origin)
    : spool_dir_(std::move(spool_dir)),
      backoff_max_(std::max(backoff_max, std::chrono::seconds(1))),
      origin_(std::move(origin)),
      spool_(spool_dir_, 64u << 20) {
  set_thread_function(&Forwarder::forward_thread);
}

Forwarder::~Forwarder() { stop_and_join(); }

void Forwarder::configure(const ForwardSettings& settings) {
  main_settings_ = settings;
  ThreadLock hold(*this);
  if (settings.enable && !spool_.is_open()) {
    if (spool_.open() != 0) {
      complain("Error: cannot open the forwarding spool " + spool_dir_ + ": " +
               std::strerror(errno) + "\n");
    }
    stats_.spool_bytes = spool_.total_bytes();
  }
  spool_.set_max_bytes(static_cast<std::uint64_t>(settings.max_megabytes)
                       << 20);
  if (settings.host != settings_.host || settings.port != settings_.port ||
      settings.enable != settings_.enable) {
    target_changed_ = true;
  }
  settings_ = settings;
  signal();
}

void Forwarder::row_prepared(const WrittenRow& row) noexcept {
  staged_ = false;
  if (!main_settings_.enable) return;
  const bool wanted = row.kind == RowKind::kSystem   ? main_settings_.system
                      : row.kind == RowKind::kAccess ? main_settings_.access
                                                     : main_settings_.alert;
  if (!wanted) return;
  try {
    const std::string frame =
        octet_counted_frame(format_syslog_message(row, origin_));
    std::uint64_t dropped = 0;
    ThreadLock hold(*this);
    const Clock::time_point now = Clock::now();
    if (spool_.stage(frame, &dropped) == 0) {
      staged_ = true;
    } else {
      stats_.spool_failures++;
      if (now - last_failure_report_ >= kReportInterval) {
        last_failure_report_ = now;
        complain("Forward spool write fail!! " +
                 std::string(std::strerror(errno)) + "\n");
      }
    }
    stats_.spool_bytes = spool_.total_bytes();
    if (dropped > 0) {
      stats_.rows_dropped += dropped;
      unreported_drops_ += dropped;
      if (now - last_drop_report_ >= kReportInterval) {
        last_drop_report_ = now;
        complain("Forward spool full!! Dropped " +
                 std::to_string(unreported_drops_) + " unsent rows.\n");
        unreported_drops_ = 0;
      }
    }
  } catch (...) {
    // Out of memory: the row goes to its log file, only its copy is lost.
    stats_.spool_failures++;
  }
}

void Forwarder::row_done(bool written) noexcept {
  if (!staged_) return;
  staged_ = false;
  ThreadLock hold(*this);
  if (written) {
    spool_.commit();
    stats_.spool_bytes = spool_.total_bytes();
    // A busy thread finds the row by itself: no wake-up per row.
    if (idle_) signal();
  } else {
    spool_.discard();
  }
}

void* Forwarder::forward_thread(void* self) {
  static_cast<Forwarder*>(self)->run();
  return nullptr;
}

void Forwarder::run() {
  ThreadLock hold(*this);
  for (;;) {
    if (stop_requested()) {
      persist_position();
      return;
    }
    if (target_changed_) {
      target_changed_ = false;
      conn_.reset();
      backoff_ = std::chrono::seconds(1);
      next_attempt_ = Clock::now();
    }
    if (!settings_.enable || !spool_.is_open()) {
      conn_.reset();
      persist_position();
      wait(0);
      continue;
    }
    try {
      if (!send_some()) {
        // Idle: the position goes to disk now, and nothing is due until a
        // row, a new configuration or a stop comes.
        persist_position();
        idle_ = true;
        wait(0);
        idle_ = false;
      }
    } catch (...) {
      complain_current_exception();
      wait(1);
    }
  }
}

bool Forwarder::send_some() {
  // No connection is made for nothing.
  if (!spool_.has_unsent()) return false;
  if (!conn_) {
    const Clock::time_point now = Clock::now();
    if (now < next_attempt_) {
      wait_for(
          std::chrono::ceil<std::chrono::milliseconds>(next_attempt_ - now));
      return true;  // look again: the wait may have been cut short
    }
    connect_now();
    return true;
  }
  Spool::Batch batch = spool_.peek(kBatchBytes);
  stats_.spool_bytes = spool_.total_bytes();
  if (batch.bytes.empty()) return false;
  if (!gathered_ && batch.bytes.size() < kBatchBytes / 2) {
    // The mutex is free meanwhile; only a stop or new settings cut this
    // short, and then the loop looks again.
    gathered_ = true;
    wait_for(kGather);
    return true;
  }
  gathered_ = false;
  std::size_t written = 0;
  bool closed = false;
  {
    ThreadUnlock release(*this);
    // Bytes written to a connection the collector has closed would be lost
    // without an error: look first.
    closed = peer_closed(conn_.get());
    if (!closed) written = write_with_deadline(conn_.get(), batch.bytes);
  }
  // A row counts as sent once all of its bytes were written.
  std::uint64_t rows = 0;
  std::size_t whole = 0;
  for (std::size_t end : batch.frame_ends) {
    if (end > written) break;
    whole = end;
    ++rows;
  }
  spool_.advance(batch, whole, rows);
  stats_.rows_sent += rows;
  if (closed || written < batch.bytes.size()) {
    // A frame cut in the middle cannot be finished on a new connection:
    // it is sent again whole.
    complain("Forward connection lost!! Reconnecting.\n");
    conn_.reset();
    next_attempt_ = Clock::now();
  }
  if (Clock::now() - last_persist_ >= kPersistInterval) persist_position();
  return true;
}

void Forwarder::connect_now() {
  const std::string host = settings_.host;
  const int port = settings_.port;
  base::UniqueFd fd;
  int error = 0;
  {
    ThreadUnlock release(*this);
    fd = connect_tcp(host, port);
    error = errno;
  }
  if (target_changed_) return;  // settings changed meanwhile: start over
  if (!fd) {
    complain("Forward connect fail!! " + host + ":" + std::to_string(port) +
             ": " + std::strerror(error) + "\n");
    next_attempt_ = Clock::now() + backoff_;
    backoff_ = std::min(backoff_ * 2, backoff_max_);
    return;
  }
  if (connected_once_) stats_.reconnects++;
  connected_once_ = true;
  backoff_ = std::chrono::seconds(1);
  conn_ = std::move(fd);
}

void Forwarder::persist_position() {
  if (!spool_.is_open()) return;
  if (spool_.persist() != 0) {
    complain("Forward position write fail!! " +
             std::string(std::strerror(errno)) + "\n");
  }
  last_persist_ = Clock::now();
}
