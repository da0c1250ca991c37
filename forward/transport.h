// The forwarder's connection to the collector, one kind per protocol:
//
//   TcpTransport    octet-counted syslog over TCP, with TLS through GnuTLS
//                   when configured (RFC 6587, RFC 5425). A frame counts as
//                   delivered once all of its bytes were written.
//   RelpTransport   RELP through librelp, with librelp's TLS when
//                   configured. librelp keeps up to `window` frames
//                   unacknowledged and tells its caller nothing per frame:
//                   the transport counts the collector's acknowledgements
//                   itself, and a frame is delivered once it and every one
//                   before it were acknowledged.
//
// Used by the forwarder thread only, with no lock held: every call may
// wait on the network, each wait bounded.

#ifndef QUILLO_FORWARD_TRANSPORT_H_
#define QUILLO_FORWARD_TRANSPORT_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

// The "tls" settings of forwarding.
struct ForwardTls {
  bool enable = false;
  std::string cafile;    // the authorities the collector's certificate is
                         // checked against
  std::string certfile;  // this appliance's certificate and key, sent
  std::string keyfile;   // when the collector asks for one
  std::string peername;  // the collector's name; empty: the target host

  bool operator==(const ForwardTls& o) const {
    return enable == o.enable && cafile == o.cafile && certfile == o.certfile &&
           keyfile == o.keyfile && peername == o.peername;
  }
  bool operator!=(const ForwardTls& o) const { return !(*this == o); }
};

// Where and how to send.
struct TransportTarget {
  std::string host;
  int port = 0;
  bool relp = false;
  int window = 128;  // RELP only
  ForwardTls tls;
};

class Transport {
 public:
  struct Sent {
    std::size_t frames = 0;  // whole frames handed over, in order
    bool broken = false;     // the connection is lost
    // RELP: sends that had to wait for an acknowledgement to free the
    // window.
    std::uint64_t window_waits = 0;
  };

  virtual ~Transport() = default;

  // Connects. On failure returns false with `*error` set, and `*tls` set
  // when the TLS handshake or the collector's certificate failed.
  virtual bool connect(std::string* error, bool* tls) = 0;

  // Hands the octet-counted frames of `bytes` (ending at `frame_ends`) to
  // the collector, in order.
  virtual Sent send(const std::string& bytes,
                    const std::deque<std::size_t>& frame_ends) = 0;

  // How many of the newest frames handed over may still be lost with the
  // connection: 0 when a frame handed over is delivered.
  virtual std::size_t window() const = 0;

  // How many of the frames handed over since connect() the collector
  // certainly has, counted from the first: every one over TCP, over RELP
  // those acknowledged with all before them. Still valid after close().
  virtual std::size_t acknowledged() const = 0;

  // Whether the collector ended an idle connection.
  virtual bool closed_by_peer() = 0;

  // Ends the connection; true when the collector certainly has every frame
  // handed over (acknowledged() counts them all).
  virtual bool close() = 0;
};

std::unique_ptr<Transport> make_tcp_transport(const TransportTarget& target);
std::unique_ptr<Transport> make_relp_transport(const TransportTarget& target);

#endif  // QUILLO_FORWARD_TRANSPORT_H_
