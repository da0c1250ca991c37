// Packets and request records exchanged over the local socket.
//
// A frame on the wire is a 2-byte big-endian body length followed by the
// body (at most kMaxBody bytes). A request body is a run of entries, each a
// 2-byte big-endian value length followed by the value bytes; entry 0 is the
// record type. A result body is a bare 2-byte big-endian code.
//
//   system record "1700000000","x","y","z" (29-byte body):
//   00 1d | 00 02 00 01 | 00 0b "1700000000" 00 | 00 02 78 00 | ...
//
// Packets are plain values owned by one thread at a time.

#ifndef QUILLO_PROTOCOL_PACKET_H_
#define QUILLO_PROTOCOL_PACKET_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quillo {

// Largest body a packet holds; larger sizes are reduced to it.
inline constexpr unsigned short kMaxBody = 4096;

enum class RequestType : std::uint16_t {
  AccessLog = 0,
  SystemLog = 1,
  Session = 2,  // opens a session: any number of records on one connection
};

// The session version a client asks for and a daemon opens.
inline constexpr std::uint16_t kSessionVersion = 1;

// The codes the daemon answers with: the record was taken (stored, queued
// or dropped by the settings), or an access record could not be stored and
// is worth sending again.
inline constexpr std::uint16_t kResultAccepted = 0;
inline constexpr std::uint16_t kResultNotStored = 3;
// The answer to a session request that opened the session. A daemon that
// knows no sessions answers kResultAccepted to it (as to any type it does
// not know) and closes: the client then sends one record per connection.
inline constexpr std::uint16_t kResultSessionOpen = 5;

// A view of one entry's value inside a packet body. String values include
// their terminating NUL.
struct Entry {
  const unsigned char* data;
  std::uint16_t length;
};

// A body of `size` bytes. `data` holds exactly `size` bytes and is null when
// `size` is 0.
class Packet {
 public:
  Packet() = default;
  Packet(const Packet& other);
  Packet& operator=(const Packet& other);
  virtual ~Packet();

  // Discards the body and makes a new one of min(n, kMaxBody) bytes whose
  // content is undefined until written. Returns the new size.
  virtual unsigned short set_size(unsigned short n);

  unsigned short size = 0;
  std::unique_ptr<unsigned char[]> data;
};

// A request: a body plus the entries parsed from it, which always point
// into this packet's own body.
class RequestData : public Packet {
 public:
  RequestData() = default;
  RequestData(const RequestData& other);
  RequestData& operator=(const RequestData& other);
  ~RequestData() override;

  // Rebuilds `entries` from the body. An entry that runs past the end of
  // the body, and everything after it, is ignored.
  virtual void reload_entry();

  // Type code in body bytes 2 and 3, or -1 when the body is shorter than 4.
  int type_code() const;

  std::vector<Entry> entries;

 protected:
  // Builds the body from `values` (type entry first), then parses it into
  // `entries`. Raises std::length_error when the entries do not all fit
  // kMaxBody: a record is built whole or not at all.
  void build(const std::vector<Entry>& values);

  // Copies `received`'s body and parses it when its type code is `type`;
  // otherwise leaves this record empty.
  void take_if_type(const RequestData& received, RequestType type);

  // True when entry i exists and is a NUL-terminated string.
  bool has_string(std::size_t i) const;
  // True when entry i exists and holds at least the 2 bytes of a number.
  bool has_number(std::size_t i) const;
  const char* string_at(std::size_t i) const;
  std::uint16_t number_at(std::size_t i) const;
};

// An access-log record: type, user_name, host_name, ip_address, operation,
// result, error_number, share_name, path.
class ReqAccessLog : public RequestData {
 public:
  // Raises std::length_error when the fields do not fit one body.
  ReqAccessLog(const char* user_name, const char* host_name,
               const char* ip_address, const char* operation, int result,
               std::uint16_t error_number, const char* share_name,
               const char* path);
  // The record in `received`, or an empty record when its type is not 0.
  explicit ReqAccessLog(const RequestData& received);

  // True when every field is present with its width; the accessors below
  // may be used only then.
  bool well_formed() const;

  const char* user_name() const { return string_at(1); }
  const char* host_name() const { return string_at(2); }
  const char* ip_address() const { return string_at(3); }
  const char* operation() const { return string_at(4); }
  std::uint16_t result() const { return number_at(5); }
  std::uint16_t error_number() const { return number_at(6); }
  const char* share_name() const { return string_at(7); }
  const char* path() const { return string_at(8); }
};

// A system-log record: type, time, text1, text2, text3.
class ReqSystemLog : public RequestData {
 public:
  // Raises std::length_error when the fields do not fit one body.
  ReqSystemLog(const char* time, const char* text1, const char* text2,
               const char* text3);
  // The record in `received`, or an empty record when its type is not 1.
  explicit ReqSystemLog(const RequestData& received);

  bool well_formed() const;

  const char* time() const { return string_at(1); }
  const char* text1() const { return string_at(2); }
  const char* text2() const { return string_at(3); }
  const char* text3() const { return string_at(4); }
};

// A session request: type 2, then the session version as a 2-byte
// big-endian number.
//
//   00 08 | 00 02 00 02 | 00 02 00 01
class ReqSession : public RequestData {
 public:
  explicit ReqSession(std::uint16_t version = kSessionVersion);
  // The request in `received`, or an empty one when its type is not 2.
  explicit ReqSession(const RequestData& received);
  bool well_formed() const { return has_number(0) && has_number(1); }
  std::uint16_t version() const { return number_at(1); }
};

// The answer: a 2-byte big-endian code, no entry framing.
class ResultData : public Packet {
 public:
  ResultData() = default;
  explicit ResultData(std::uint16_t code);

  // The code, or -1 when the body is shorter than 2 bytes.
  int code() const;
};

}  // namespace quillo

#endif  // QUILLO_PROTOCOL_PACKET_H_
