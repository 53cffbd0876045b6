// Little-endian pieces for bytes that tests lay out by hand from the documented
// layouts, independently of the code under test (its own little-endian writes).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

inline void put_le(Bytes& out, uint64_t value, int size) {
  for (int i = 0; i < size; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}
inline void put_u8(Bytes& out, uint8_t v) { out.push_back(v); }
inline void put_u32(Bytes& out, uint32_t v) { put_le(out, v, 4); }
inline void put_u64(Bytes& out, uint64_t v) { put_le(out, v, 8); }
inline void put_text(Bytes& out, const std::string& text) { out.insert(out.end(), text.begin(), text.end()); }
inline void put_bytes(Bytes& out, const Bytes& bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }
