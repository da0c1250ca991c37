// Octet-counted syslog over TCP, and over TLS with GnuTLS.

#include <arpa/inet.h>
#include <gnutls/gnutls.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <gnutls/x509.h>
#include <memory>
#include <utility>

#include "base/eintr.h"
#include "base/unique_fd.h"
#include "forward/transport.h"

namespace quillo {
namespace {

using Clock = std::chrono::steady_clock;

// Longest wait for a connection and its handshake, and for the collector
// to take a batch: a collector that stops reading costs a reconnect, never
// a hung thread.
constexpr std::chrono::seconds kConnectTimeout{10};
constexpr std::chrono::seconds kWriteTimeout{30};

int poll_ms(Clock::time_point deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<long long>(left.count(), 0));
}

// Waits until `fd` is ready for `events` (or has an error, which the next
// call on it reports); false when the deadline passed.
bool wait_ready(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int ready = ::poll(&p, 1, poll_ms(deadline));
    if (ready < 0 && errno == EINTR) continue;
    return ready > 0;
  }
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
      const bool ready =
          wait_ready(fd.get(), POLLOUT, Clock::now() + kConnectTimeout);
      int error = 0;
      socklen_t len = sizeof(error);
      if (!ready ||
          ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &len) != 0 ||
          error != 0) {
        errno = ready ? error : ETIMEDOUT;
        continue;
      }
    }
    return fd;
  }
  return base::UniqueFd();
}

bool is_ip_address(const std::string& host) {
  unsigned char buf[sizeof(in6_addr)];
  return ::inet_pton(AF_INET, host.c_str(), buf) == 1 ||
         ::inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

struct CredentialsFree {
  void operator()(gnutls_certificate_credentials_t c) const {
    gnutls_certificate_free_credentials(c);
  }
};
using Credentials =
    std::unique_ptr<std::remove_pointer_t<gnutls_certificate_credentials_t>,
                    CredentialsFree>;
struct SessionFree {
  void operator()(gnutls_session_t s) const { gnutls_deinit(s); }
};
using Session =
    std::unique_ptr<std::remove_pointer_t<gnutls_session_t>, SessionFree>;

class TcpTransport final : public Transport {
 public:
  explicit TcpTransport(const ForwardSettings& settings)
      : settings_(settings) {}
  ~TcpTransport() override = default;

  bool connect(std::string* error, bool* tls) override {
    *tls = false;
    handed_over_ = 0;
    fd_ = connect_tcp(settings_.host, settings_.port);
    if (!fd_) {
      *error = std::strerror(errno);
      return false;
    }
    if (!settings_.tls.enable) return true;
    *tls = true;
    if (!start_tls(error)) {
      session_.reset();
      fd_.reset();
      return false;
    }
    return true;
  }

  Sent send(const std::string& bytes,
            const std::deque<std::size_t>& frame_ends) override {
    const std::size_t written = send_all(bytes);
    Sent sent;
    for (std::size_t end : frame_ends) {
      if (end > written) break;
      ++sent.frames;
    }
    // A frame cut in the middle cannot be finished on a new connection: it
    // is sent again whole.
    sent.broken = written < bytes.size();
    handed_over_ += sent.frames;
    return sent;
  }

  std::size_t window() const override { return 0; }
  std::size_t acknowledged() const override { return handed_over_; }

  // The collector sends nothing over syslog/TCP, so anything readable on
  // a plain connection means the end. Over TLS it may be a session ticket,
  // which GnuTLS takes in; an alert or the end of the stream is the end.
  bool closed_by_peer() override {
    pollfd p{fd_.get(), POLLIN | POLLRDHUP, 0};
    const int ready = base::retry_eintr([&] { return ::poll(&p, 1, 0); });
    if (ready <= 0) return false;
    if ((p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) return true;
    if (session_) {
      char buf[256];
      ssize_t n;
      do {
        n = gnutls_record_recv(session_.get(), buf, sizeof(buf));
      } while (n == GNUTLS_E_INTERRUPTED);
      return n != GNUTLS_E_AGAIN;
    }
    char byte;
    const ssize_t n = base::retry_eintr(
        [&] { return ::recv(fd_.get(), &byte, 1, MSG_PEEK | MSG_DONTWAIT); });
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
  }

  bool close() override {
    if (session_) gnutls_bye(session_.get(), GNUTLS_SHUT_WR);  // no waiting
    session_.reset();
    fd_.reset();
    return true;
  }

 private:
  // Credentials with the authorities to check the collector against, and
  // this appliance's certificate when one is configured.
  bool load_credentials(std::string* error) {
    const ForwardTls& tls = settings_.tls;
    gnutls_certificate_credentials_t cred = nullptr;
    if (gnutls_certificate_allocate_credentials(&cred) < 0) {
      *error = "out of memory";
      return false;
    }
    credentials_.reset(cred);
    const int cas = gnutls_certificate_set_x509_trust_file(
        cred, tls.cafile.c_str(), GNUTLS_X509_FMT_PEM);
    if (cas <= 0) {
      *error = "no certificate authority read from " + tls.cafile +
               (cas < 0 ? std::string(": ") + gnutls_strerror(cas) : "");
      return false;
    }
    if (tls.certfile.empty()) return true;
    const int r = gnutls_certificate_set_x509_key_file(
        cred, tls.certfile.c_str(), tls.keyfile.c_str(), GNUTLS_X509_FMT_PEM);
    if (r < 0) {
      *error = "cannot use " + tls.certfile + " and " + tls.keyfile + ": " +
               gnutls_strerror(r);
      return false;
    }
    return true;
  }

  // A client session on the connection that checks the chain against the
  // authorities and the collector's `name`, in the handshake.
  bool make_session(const std::string& name, std::string* error) {
    gnutls_session_t s = nullptr;
    if (gnutls_init(&s, GNUTLS_CLIENT | GNUTLS_NONBLOCK) < 0) {
      *error = "out of memory";
      return false;
    }
    session_.reset(s);
    int r = gnutls_set_default_priority(s);
    if (r >= 0) {
      r = gnutls_credentials_set(s, GNUTLS_CRD_CERTIFICATE, credentials_.get());
    }
    if (r >= 0 && !is_ip_address(name)) {
      r = gnutls_server_name_set(s, GNUTLS_NAME_DNS, name.data(), name.size());
    }
    if (r < 0) {
      *error = gnutls_strerror(r);
      return false;
    }
    gnutls_session_set_verify_cert(s, name.c_str(), 0);
    gnutls_transport_set_int(s, fd_.get());
    return true;
  }

  bool start_tls(std::string* error) {
    const ForwardTls& tls = settings_.tls;
    const std::string& name =
        tls.peername.empty() ? settings_.host : tls.peername;
    if (!load_credentials(error) || !make_session(name, error)) return false;
    gnutls_session_t s = session_.get();
    const Clock::time_point deadline = Clock::now() + kConnectTimeout;
    int r;
    do {
      r = gnutls_handshake(s);
      if (r == GNUTLS_E_AGAIN) {
        const short events =
            gnutls_record_get_direction(s) == 0 ? POLLIN : POLLOUT;
        if (!wait_ready(fd_.get(), events, deadline)) {
          *error = "TLS handshake timed out";
          return false;
        }
      }
    } while (r < 0 && gnutls_error_is_fatal(r) == 0);
    if (r >= 0) return true;
    if (r == GNUTLS_E_CERTIFICATE_VERIFICATION_ERROR) {
      gnutls_datum_t text{};
      const unsigned status = gnutls_session_get_verify_cert_status(s);
      if (gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509,
                                                       &text, 0) == 0) {
        *error = "certificate of " + name +
                 " refused: " + reinterpret_cast<const char*>(text.data);
        gnutls_free(text.data);
        return false;
      }
    }
    *error = std::string("TLS handshake failed: ") + gnutls_strerror(r);
    return false;
  }

  // Writes `data` with a deadline; returns the bytes written (all of them
  // on success).
  std::size_t send_all(const std::string& data) {
    const Clock::time_point deadline = Clock::now() + kWriteTimeout;
    std::size_t done = 0;
    while (done < data.size()) {
      const char* p = data.data() + done;
      const std::size_t left = data.size() - done;
      if (session_) {
        const ssize_t n = gnutls_record_send(session_.get(), p, left);
        if (n > 0) {
          done += static_cast<std::size_t>(n);
        } else if (n == GNUTLS_E_INTERRUPTED) {
          continue;
        } else if (n == GNUTLS_E_AGAIN) {
          // GnuTLS keeps the record it started; the same call finishes it.
          if (!wait_ready(fd_.get(), POLLOUT, deadline)) break;
        } else {
          break;
        }
        continue;
      }
      const ssize_t n = ::send(fd_.get(), p, left, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (!wait_ready(fd_.get(), POLLOUT, deadline)) break;
      } else {
        break;
      }
    }
    return done;
  }

  std::size_t handed_over_ = 0;  // frames written whole since connect()
  const ForwardSettings settings_;
  base::UniqueFd fd_;
  Credentials credentials_;
  Session session_;  // declared after the credentials it uses
};

}  // namespace

std::unique_ptr<Transport> make_transport(const ForwardSettings& settings) {
  return settings.protocol == ForwardProtocol::kRelp
             ? make_relp_transport(settings)
             : make_tcp_transport(settings);
}

std::unique_ptr<Transport> make_tcp_transport(const ForwardSettings& settings) {
  return std::make_unique<TcpTransport>(settings);
}

}  // namespace quillo
