// RELP through librelp, with librelp's own TLS (its GnuTLS back end).

#include <sys/socket.h>

#include <chrono>
#include <cstddef>  // librelp.h uses size_t without it
#include <cstring>
#include <string>
#include <utility>

#include "forward/transport.h"

extern "C" {  // librelp.h declares C functions without saying so
#include <librelp.h>
}

namespace {

using Clock = std::chrono::steady_clock;

// librelp's bound, in seconds, on a connection and on each wait for the
// collector: for the open handshake, for room in the window and for the
// answer to close.
constexpr unsigned kRelpTimeout = 10;
// A send that took this long waited for an acknowledgement: handing a
// frame to the socket takes microseconds.
constexpr std::chrono::milliseconds kWindowWait{1};

// Errors librelp reports without a session to tie them to.
thread_local std::string generic_error;

class RelpTransport final : public Transport {
 public:
  explicit RelpTransport(TransportTarget target) : target_(std::move(target)) {}

  ~RelpTransport() override {
    drop_client();
    if (engine_ != nullptr) relpEngineDestruct(&engine_);
  }

  bool connect(std::string* error, bool* tls) override {
    *tls = false;
    errors_.clear();
    generic_error.clear();
    auth_failed_ = false;
    if (engine_ == nullptr && !make_engine(error)) return false;
    if (relpEngineCltConstruct(engine_, &client_) != RELP_RET_OK) {
      *error = "librelp: cannot make a client";
      client_ = nullptr;
      return false;
    }
    relpCltSetUsrPtr(client_, this);
    relpCltSetTimeout(client_, kRelpTimeout);
    relpCltSetConnTimeout(client_, static_cast<int>(kRelpTimeout));
    relpCltSetWindowSize(client_, target_.window);
    if (target_.tls.enable && !set_tls(error)) {
      *tls = true;
      drop_client();
      return false;
    }
    std::string port = std::to_string(target_.port);
    std::string host = target_.host;
    const relpRetVal r = relpCltConnect(
        client_, AF_UNSPEC, reinterpret_cast<unsigned char*>(&port[0]),
        reinterpret_cast<unsigned char*>(&host[0]));
    if (r != RELP_RET_OK) {
      *tls = target_.tls.enable &&
             (auth_failed_ || r == RELP_RET_ERR_TLS_SETUP ||
              r == RELP_RET_ERR_TLS_HANDS || r == RELP_RET_ERR_TLS ||
              (r >= RELP_RET_AUTH_ERR_FP && r <= RELP_RET_AUTH_CERT_INVL));
      if (!generic_error.empty()) note(generic_error.c_str(), r);
      *error = errors_.empty() ? "librelp error " + std::to_string(r) : errors_;
      drop_client();
      return false;
    }
    in_session_ = 0;
    return true;
  }

  Sent send(const std::string& bytes,
            const std::deque<std::size_t>& frame_ends) override {
    Sent sent;
    std::size_t start = 0;
    for (std::size_t end : frame_ends) {
      // The frame is "<length> <message>"; RELP counts octets itself.
      const std::size_t space = bytes.find(' ', start);
      if (space == std::string::npos || space >= end) break;
      unsigned char* message = reinterpret_cast<unsigned char*>(
          const_cast<char*>(bytes.data() + space + 1));
      const bool full = in_session_ >= static_cast<std::size_t>(target_.window);
      const Clock::time_point before = Clock::now();
      if (relpCltSendSyslog(client_, message, end - space - 1) != RELP_RET_OK) {
        sent.broken = true;
        break;
      }
      if (full && Clock::now() - before >= kWindowWait) ++sent.window_waits;
      ++in_session_;
      ++sent.frames;
      start = end;
    }
    return sent;
  }

  std::size_t window() const override {
    return static_cast<std::size_t>(target_.window);
  }

  // A collector that ends the session is noticed by the next send, and the
  // frames it had not acknowledged go again.
  bool closed_by_peer() override { return false; }

  // librelp's clean close sends "close" and waits for its answer, which the
  // collector gives after the answers to every frame before it; anything
  // that goes wrong on the way is reported through the error callback.
  bool close() override {
    if (client_ == nullptr) return true;
    errors_.clear();
    relpEngineCltDestruct(engine_, &client_);
    client_ = nullptr;
    return errors_.empty();
  }

 private:
  static void on_error(void* user, char* /*objinfo*/, char* message,
                       relpRetVal code) {
    auto* self = static_cast<RelpTransport*>(user);
    if (self == nullptr) return;
    self->note(message, code);
  }
  static void on_auth_error(void* user, char* names, char* message,
                            relpRetVal code) {
    auto* self = static_cast<RelpTransport*>(user);
    if (self == nullptr) return;
    self->auth_failed_ = true;
    std::string text = message != nullptr ? message : "";
    if (names != nullptr && *names != '\0')
      text += std::string(" (") + names + ")";
    self->note(text.c_str(), code);
  }
  // librelp calls this for its debug output at every step, and needs one.
  static void no_debug_output(char* /*format*/, ...) {}

  static void on_generic_error(char* /*objinfo*/, char* message,
                               relpRetVal /*code*/) {
    if (message != nullptr) generic_error = message;
  }

  void note(const char* message, relpRetVal code) {
    if (!errors_.empty()) errors_ += "; ";
    errors_ += message != nullptr ? message : "error";
    errors_ += " (librelp " + std::to_string(code) + ")";
  }

  bool make_engine(std::string* error) {
    if (relpEngineConstruct(&engine_) != RELP_RET_OK) {
      engine_ = nullptr;
      *error = "librelp: cannot make an engine";
      return false;
    }
    relpEngineSetDbgprint(engine_, &RelpTransport::no_debug_output);
    relpEngineSetDnsLookupMode(engine_, 0);
    relpEngineSetOnErr(engine_, &RelpTransport::on_error);
    relpEngineSetOnAuthErr(engine_, &RelpTransport::on_auth_error);
    relpEngineSetOnGenericErr(engine_, &RelpTransport::on_generic_error);
    unsigned char command[] = "syslog";
    relpEngineSetEnableCmd(engine_, command, eRelpCmdState_Required);
    if (target_.tls.enable &&
        relpEngineSetTLSLibByName(engine_, "gnutls") != RELP_RET_OK) {
      *error = "librelp has no GnuTLS";
      return false;
    }
    return true;
  }

  // Always with a certificate of our own (the configuration insists):
  // without one librelp falls back to anonymous TLS. In "name" mode its
  // GnuTLS back end checks the chain against the authorities and the name
  // against the permitted one.
  bool set_tls(std::string* error) {
    const ForwardTls& tls = target_.tls;
    if (tls.certfile.empty() || tls.keyfile.empty()) {
      *error = "RELP over TLS needs certfile and keyfile";
      return false;
    }
    std::string ca = tls.cafile, cert = tls.certfile, key = tls.keyfile;
    std::string name = tls.peername.empty() ? target_.host : tls.peername;
    char mode[] = "name";
    if (relpCltEnableTLS(client_) != RELP_RET_OK ||
        relpCltSetCACert(client_, &ca[0]) != RELP_RET_OK ||
        relpCltSetOwnCert(client_, &cert[0]) != RELP_RET_OK ||
        relpCltSetPrivKey(client_, &key[0]) != RELP_RET_OK ||
        relpCltSetAuthMode(client_, mode) != RELP_RET_OK ||
        relpCltAddPermittedPeer(client_, &name[0]) != RELP_RET_OK) {
      *error = "librelp refused the TLS settings";
      return false;
    }
    return true;
  }

  // For a client that failed: librelp tries no close on a broken session,
  // and a live one (at destruction) gets the same bounded clean close.
  void drop_client() {
    if (client_ == nullptr) return;
    relpEngineCltDestruct(engine_, &client_);
    client_ = nullptr;
  }

  const TransportTarget target_;
  relpEngine_t* engine_ = nullptr;
  relpClt_t* client_ = nullptr;
  std::size_t in_session_ = 0;  // frames handed over since connect()
  std::string errors_;          // reported by librelp since the last look
  bool auth_failed_ = false;
};

}  // namespace

std::unique_ptr<Transport> make_relp_transport(const TransportTarget& target) {
  return std::make_unique<RelpTransport>(target);
}
