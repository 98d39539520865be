// Big-endian encoding of fixed-width integers, the byte order of every
// on-disk format of the service. Encoders write into a byte span; decoders
// read from one. Callers check sizes; these only move bytes.
#pragma once

#include <cstdint>

namespace corvanta {

inline void put_u16(unsigned char* p, std::uint16_t v) {
  p[0] = static_cast<unsigned char>(v >> 8);
  p[1] = static_cast<unsigned char>(v);
}

inline void put_u32(unsigned char* p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}

inline void put_i32(unsigned char* p, std::int32_t v) {
  put_u32(p, static_cast<std::uint32_t>(v));
}

inline std::uint16_t get_u16(const unsigned char* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

inline std::uint32_t get_u32(const unsigned char* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

inline std::int32_t get_i32(const unsigned char* p) {
  return static_cast<std::int32_t>(get_u32(p));
}

}  // namespace corvanta
