// RELP through librelp, with librelp's own TLS (its GnuTLS back end).

#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstddef>  // librelp.h uses size_t without it
#include <cstring>
#include <deque>
#include <string>
#include <utility>

#include "forward/transport.h"

extern "C" {  // librelp.h declares C functions without saying so
#include <librelp.h>
}

namespace quillo {
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

// librelp tells its caller nothing per frame, but traces every step through
// the debug function of its engine: each frame it sends (the text begins
// with the frame's transaction number), each answer that comes, and the
// removal of the frame an answer belongs to from its list of
// unacknowledged ones. An answer followed by that removal is an
// acknowledgement when its code is 200. A librelp that does not trace the
// handshake so is refused at connect(): its rows could never be confirmed.
constexpr char kSentTrace[] = "frame to send: '%s'\n";
constexpr char kAnswerTrace[] =
    "in rsp command handler, txnr %d, code %d, text '%s'\n";
constexpr char kMatchedTrace[] = "DEL sess %p unacked %d, sessState %d\n";

class RelpTransport;
// The transport on whose behalf librelp runs on this thread: the debug
// function gets no pointer of its own.
thread_local RelpTransport* tracing = nullptr;

class RelpTransport final : public Transport {
 public:
  explicit RelpTransport(const ForwardSettings& settings)
      : settings_(settings) {}

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
    relpCltSetWindowSize(client_, settings_.window);
    if (settings_.tls.enable && !set_tls(error)) {
      *tls = true;
      drop_client();
      return false;
    }
    std::string port = std::to_string(settings_.port);
    std::string host = settings_.host;
    in_session_ = 0;
    outstanding_.clear();
    acknowledged_ = 0;
    open_txnr_ = 0;
    open_answered_ = false;
    relpRetVal r;
    {
      Tracing on(this);
      r = relpCltConnect(client_, AF_UNSPEC,
                         reinterpret_cast<unsigned char*>(&port[0]),
                         reinterpret_cast<unsigned char*>(&host[0]));
    }
    if (r != RELP_RET_OK) {
      *tls = settings_.tls.enable &&
             (auth_failed_ || r == RELP_RET_ERR_TLS_SETUP ||
              r == RELP_RET_ERR_TLS_HANDS || r == RELP_RET_ERR_TLS ||
              (r >= RELP_RET_AUTH_ERR_FP && r <= RELP_RET_AUTH_CERT_INVL));
      if (!generic_error.empty()) note(generic_error.c_str(), r);
      *error = errors_.empty() ? "librelp error " + std::to_string(r) : errors_;
      drop_client();
      return false;
    }
    if (!open_answered_) {
      *error =
          "librelp did not trace the collector's answers: no row could "
          "be confirmed";
      drop_client();
      return false;
    }
    return true;
  }

  Sent send(const std::string& bytes,
            const std::deque<std::size_t>& frame_ends) override {
    Sent sent;
    Tracing on(this);
    std::size_t start = 0;
    for (std::size_t end : frame_ends) {
      // Answers out of order past a frame left unanswered pile up here:
      // beyond a bound, the session goes and its frames go again.
      if (outstanding_.size() >= max_outstanding_) {
        sent.broken = true;
        break;
      }
      // The frame is "<length> <message>"; RELP counts octets itself.
      const std::size_t space = bytes.find(' ', start);
      if (space == std::string::npos || space >= end) break;
      unsigned char* message = reinterpret_cast<unsigned char*>(
          const_cast<char*>(bytes.data() + space + 1));
      const bool full =
          in_session_ >= static_cast<std::size_t>(settings_.window);
      const Clock::time_point before = Clock::now();
      sent_txnr_ = 0;
      if (relpCltSendSyslog(client_, message, end - space - 1) != RELP_RET_OK ||
          sent_txnr_ == 0) {
        sent.broken = true;
        break;
      }
      outstanding_.push_back(Outstanding{sent_txnr_, false});
      if (full && Clock::now() - before >= kWindowWait) ++sent.window_waits;
      ++in_session_;
      ++sent.frames;
      start = end;
    }
    return sent;
  }

  std::size_t window() const override {
    return static_cast<std::size_t>(settings_.window);
  }

  std::size_t acknowledged() const override { return acknowledged_; }

  // A collector that ends the session is noticed by the next send, and the
  // frames it had not acknowledged go again.
  bool closed_by_peer() override { return false; }

  // librelp's clean close sends "close" and waits for its answer, which the
  // collector gives after the answers to every frame before it; anything
  // that goes wrong on the way is reported through the error callback. It
  // does not look at the frames still unanswered then, so this does: a
  // collector may answer "close" and not the frames.
  bool close() override {
    if (client_ != nullptr) {
      errors_.clear();
      Tracing on(this);
      relpEngineCltDestruct(engine_, &client_);
      client_ = nullptr;
    }
    return errors_.empty() && outstanding_.empty();
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
  // Sets the transport librelp traces for, for the length of one call.
  class Tracing {
   public:
    explicit Tracing(RelpTransport* self) : saved_(tracing) { tracing = self; }
    ~Tracing() { tracing = saved_; }
    Tracing(const Tracing&) = delete;
    Tracing& operator=(const Tracing&) = delete;

   private:
    RelpTransport* const saved_;
  };

  struct Outstanding {
    relpTxnr_t txnr;
    bool acknowledged;
  };

  // librelp's debug output, at every step: only the traces of frames and
  // answers are read (see kSentTrace).
  static void trace(char* format, ...) {
    RelpTransport* self = tracing;
    if (self == nullptr || format == nullptr) return;
    va_list args;
    va_start(args, format);
    if (std::strcmp(format, kSentTrace) == 0) {
      // Numbers run from 1 to 1000000000 and round again.
      const char* frame = va_arg(args, const char*);
      long long txnr = 0;
      for (int digits = 0;
           frame != nullptr && digits < 10 && *frame >= '0' && *frame <= '9';
           ++digits, ++frame) {
        txnr = txnr * 10 + (*frame - '0');
      }
      self->sent_txnr_ = txnr <= 1000000000 ? static_cast<relpTxnr_t>(txnr) : 0;
      if (self->open_txnr_ == 0) self->open_txnr_ = self->sent_txnr_;
    } else if (std::strcmp(format, kAnswerTrace) == 0) {
      self->answer_txnr_ = va_arg(args, int);
      self->answer_code_ = va_arg(args, int);
      self->answer_pending_ = true;
    } else if (std::strcmp(format, kMatchedTrace) == 0 &&
               self->answer_pending_) {
      self->answer_pending_ = false;
      self->answered(self->answer_txnr_, self->answer_code_ == 200);
    }
    va_end(args);
  }

  // The collector answered the frame `txnr` had: acknowledged when `ok`.
  void answered(relpTxnr_t txnr, bool ok) {
    if (!ok) return;  // librelp reports it as an error, and the session ends
    if (!open_answered_ && txnr == open_txnr_) {
      open_answered_ = true;
      return;
    }
    const auto it =
        std::find_if(outstanding_.begin(), outstanding_.end(),
                     [&](const Outstanding& o) { return o.txnr == txnr; });
    if (it != outstanding_.end()) it->acknowledged = true;
    while (!outstanding_.empty() && outstanding_.front().acknowledged) {
      outstanding_.pop_front();
      ++acknowledged_;
    }
  }

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
    relpEngineSetDbgprint(engine_, &RelpTransport::trace);
    relpEngineSetDnsLookupMode(engine_, 0);
    relpEngineSetOnErr(engine_, &RelpTransport::on_error);
    relpEngineSetOnAuthErr(engine_, &RelpTransport::on_auth_error);
    relpEngineSetOnGenericErr(engine_, &RelpTransport::on_generic_error);
    unsigned char command[] = "syslog";
    relpEngineSetEnableCmd(engine_, command, eRelpCmdState_Required);
    if (settings_.tls.enable &&
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
    const ForwardTls& tls = settings_.tls;
    if (tls.certfile.empty() || tls.keyfile.empty()) {
      *error = "RELP over TLS needs certfile and keyfile";
      return false;
    }
    std::string ca = tls.cafile, cert = tls.certfile, key = tls.keyfile;
    std::string name = tls.peername.empty() ? settings_.host : tls.peername;
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
    Tracing on(this);
    relpEngineCltDestruct(engine_, &client_);
    client_ = nullptr;
  }

  const ForwardSettings settings_;
  relpEngine_t* engine_ = nullptr;
  relpClt_t* client_ = nullptr;
  std::size_t in_session_ = 0;  // frames handed over since connect()
  std::string errors_;          // reported by librelp since the last look
  bool auth_failed_ = false;

  // Acknowledgements of this session's frames, as librelp traces them.
  // librelp keeps `window` frames unanswered at most; more are outstanding
  // only when answers come out of order.
  const std::size_t max_outstanding_ =
      4 * static_cast<std::size_t>(std::max(settings_.window, 1)) + 16;
  std::deque<Outstanding> outstanding_;  // handed over, not yet counted
  std::size_t acknowledged_ = 0;  // frames counted, the first ones in order
  relpTxnr_t sent_txnr_ = 0;      // of the frame librelp sent last
  relpTxnr_t open_txnr_ = 0;      // of "open"
  bool open_answered_ = false;
  relpTxnr_t answer_txnr_ = 0;  // of an answer not yet matched to a frame
  int answer_code_ = 0;
  bool answer_pending_ = false;
};

}  // namespace

std::unique_ptr<Transport> make_relp_transport(
    const ForwardSettings& settings) {
  return std::make_unique<RelpTransport>(settings);
}

}  // namespace quillo
