#include "protocol/packet.h"

#include <cstring>
#include <stdexcept>
#include <string>

#include "base/big_endian.h"

namespace quillo {
namespace {

// A string field's entry: its bytes and the NUL. A string too long for a
// 16-bit length can never fit a body, so its length saturates and the
// builder refuses the record.
Entry StringEntry(const char* s) {
  const std::size_t n = std::strlen(s) + 1;
  return Entry{reinterpret_cast<const unsigned char*>(s),
               static_cast<std::uint16_t>(n > 0xffff ? 0xffff : n)};
}

}  // namespace

Packet::Packet(const Packet& other) : size(0) { *this = other; }

Packet& Packet::operator=(const Packet& other) {
  if (this == &other) return *this;
  Packet::set_size(other.size);
  if (size > 0) std::memcpy(data.get(), other.data.get(), size);
  return *this;
}

Packet::~Packet() = default;

unsigned short Packet::set_size(unsigned short n) {
  data.reset();
  size = n > kMaxBody ? kMaxBody : n;
  if (size > 0) data.reset(new unsigned char[size]);
  return size;
}

RequestData::RequestData(const RequestData& other) : Packet() { *this = other; }

RequestData& RequestData::operator=(const RequestData& other) {
  if (this == &other) return *this;
  Packet::operator=(other);
  reload_entry();
  return *this;
}

RequestData::~RequestData() = default;

void RequestData::reload_entry() {
  entries.clear();
  std::size_t p = 0;
  const std::size_t n = size;
  while (n - p >= 2) {
    const std::size_t len = base::get_be16(data.get() + p);
    if (len > n - p - 2) break;
    entries.push_back(
        Entry{data.get() + p + 2, static_cast<std::uint16_t>(len)});
    p += 2 + len;
  }
}

int RequestData::type_code() const {
  if (size < 4) return -1;
  return base::get_be16(data.get() + 2);
}

void RequestData::build(const std::vector<Entry>& values) {
  std::size_t total = 0;
  for (const Entry& e : values) total += 2 + e.length;
  // A record cut short would reach the daemon malformed, and be refused
  // there however often it is sent again.
  if (total > kMaxBody) {
    throw std::length_error("record of " + std::to_string(total) +
                            " bytes does not fit one request (" +
                            std::to_string(kMaxBody) + ")");
  }
  set_size(static_cast<unsigned short>(total));
  std::size_t p = 0;
  for (const Entry& e : values) {
    base::put_be16(data.get() + p, e.length);
    if (e.length > 0) std::memcpy(data.get() + p + 2, e.data, e.length);
    p += 2 + e.length;
  }
  reload_entry();
}

void RequestData::take_if_type(const RequestData& received, RequestType type) {
  if (received.type_code() == static_cast<int>(type)) {
    RequestData::operator=(received);
  } else {
    set_size(0);
    entries.clear();
  }
}

bool RequestData::has_string(std::size_t i) const {
  return i < entries.size() && entries[i].length > 0 &&
         entries[i].data[entries[i].length - 1] == '\0';
}

bool RequestData::has_number(std::size_t i) const {
  return i < entries.size() && entries[i].length >= 2;
}

const char* RequestData::string_at(std::size_t i) const {
  return reinterpret_cast<const char*>(entries[i].data);
}

std::uint16_t RequestData::number_at(std::size_t i) const {
  return base::get_be16(entries[i].data);
}

ReqAccessLog::ReqAccessLog(const char* user_name, const char* host_name,
                           const char* ip_address, const char* operation,
                           int result, std::uint16_t error_number,
                           const char* share_name, const char* path) {
  unsigned char type[2];
  unsigned char result_bytes[2];
  unsigned char error_bytes[4] = {0, 0, 0, 0};
  base::put_be16(type, static_cast<std::uint16_t>(RequestType::AccessLog));
  base::put_be16(result_bytes, static_cast<std::uint16_t>(result & 0xffff));
  base::put_be16(error_bytes, error_number);
  build({Entry{type, 2}, StringEntry(user_name), StringEntry(host_name),
         StringEntry(ip_address), StringEntry(operation),
         Entry{result_bytes, 2}, Entry{error_bytes, 4}, StringEntry(share_name),
         StringEntry(path)});
}

ReqAccessLog::ReqAccessLog(const RequestData& received) {
  take_if_type(received, RequestType::AccessLog);
}

bool ReqAccessLog::well_formed() const {
  return has_number(0) && has_string(1) && has_string(2) && has_string(3) &&
         has_string(4) && has_number(5) && has_number(6) && has_string(7) &&
         has_string(8);
}

ReqSystemLog::ReqSystemLog(const char* time, const char* text1,
                           const char* text2, const char* text3) {
  unsigned char type[2];
  base::put_be16(type, static_cast<std::uint16_t>(RequestType::SystemLog));
  build({Entry{type, 2}, StringEntry(time), StringEntry(text1),
         StringEntry(text2), StringEntry(text3)});
}

ReqSystemLog::ReqSystemLog(const RequestData& received) {
  take_if_type(received, RequestType::SystemLog);
}

bool ReqSystemLog::well_formed() const {
  return has_number(0) && has_string(1) && has_string(2) && has_string(3) &&
         has_string(4);
}

ReqSession::ReqSession(std::uint16_t version) {
  unsigned char type[2];
  unsigned char number[2];
  base::put_be16(type, static_cast<std::uint16_t>(RequestType::Session));
  base::put_be16(number, version);
  build({Entry{type, 2}, Entry{number, 2}});
}

ReqSession::ReqSession(const RequestData& received) {
  take_if_type(received, RequestType::Session);
}

ResultData::ResultData(std::uint16_t code) {
  set_size(2);
  base::put_be16(data.get(), code);
}

int ResultData::code() const {
  if (size < 2) return -1;
  return base::get_be16(data.get());
}

}  // namespace quillo
