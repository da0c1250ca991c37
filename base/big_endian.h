// Big-endian (network order) 16-bit fields, as the wire frames carry them.

#ifndef QUILLO_BASE_BIG_ENDIAN_H_
#define QUILLO_BASE_BIG_ENDIAN_H_

#include <cstdint>

namespace base {

inline void put_be16(unsigned char* p, std::uint16_t v) {
  p[0] = static_cast<unsigned char>(v >> 8);
  p[1] = static_cast<unsigned char>(v & 0xff);
}

inline std::uint16_t get_be16(const unsigned char* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

}  // namespace base

#endif  // QUILLO_BASE_BIG_ENDIAN_H_
