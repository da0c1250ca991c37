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

#include "forward/forward_settings.h"

namespace quillo {

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

// A connection to the collector of `settings` (enabled ones), not yet
// made; the transport keeps its own copy of the settings.
std::unique_ptr<Transport> make_transport(const ForwardSettings& settings);
std::unique_ptr<Transport> make_tcp_transport(const ForwardSettings& settings);
std::unique_ptr<Transport> make_relp_transport(const ForwardSettings& settings);

}  // namespace quillo

#endif  // QUILLO_FORWARD_TRANSPORT_H_
