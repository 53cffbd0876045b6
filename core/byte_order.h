// Little-endian encode/decode. Every integer in the manifest, the wire protocol
// and the metadata file is little-endian and unpadded, whatever the host's
// byte order.
#pragma once
#include <cstdint>

inline void put_u16le(uint8_t* p, uint16_t v) {
  for (int i = 0; i < 2; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void put_u32le(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void put_u64le(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void put_i64le(uint8_t* p, int64_t v) { put_u64le(p, static_cast<uint64_t>(v)); }

inline uint16_t get_u16le(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t get_u32le(const uint8_t* p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
inline uint64_t get_u64le(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
inline int64_t get_i64le(const uint8_t* p) { return static_cast<int64_t>(get_u64le(p)); }
