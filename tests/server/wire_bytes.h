// Client-side protocol messages assembled by hand for driving `receive`.
// Hashes come straight from the libraries; the layout is this file's own.
#pragma once

#include <blake3.h>
#include <lz4.h>

#ifndef XXH_INLINE_ALL
#define XXH_INLINE_ALL
#endif
#include <xxhash.h>

#include "tests/support/manifest_bytes.h"

inline Bytes hello_bytes() {
  Bytes b;
  put_text(b, "VARDOR07");
  put_u8(b, 0);
  return b;
}

inline Bytes descriptor_of(const Bytes& chunk) {
  Bytes d;
  put_u32(d, static_cast<uint32_t>(chunk.size()));
  const XXH128_hash_t h = XXH3_128bits(chunk.data(), chunk.size());
  put_u64(d, h.low64);
  put_u64(d, h.high64);
  blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  blake3_hasher_update(&hasher, chunk.data(), chunk.size());
  uint8_t out[32];
  blake3_hasher_finalize(&hasher, out, 32);
  d.insert(d.end(), out, out + 32);
  return d;
}

// Batch header and descriptors.
inline Bytes batch_bytes(const std::vector<Bytes>& chunks) {
  Bytes b;
  put_u8(b, 0x01);
  put_u32(b, static_cast<uint32_t>(chunks.size()));
  for (const Bytes& c : chunks) put_bytes(b, descriptor_of(c));
  return b;
}

inline Bytes raw_frame(const Bytes& chunk) {
  Bytes b;
  put_u32(b, static_cast<uint32_t>(chunk.size()));
  put_bytes(b, chunk);
  return b;
}

inline Bytes lz4_frame(const Bytes& chunk) {
  Bytes block(static_cast<size_t>(LZ4_compressBound(static_cast<int>(chunk.size()))));
  const int n = LZ4_compress_default(reinterpret_cast<const char*>(chunk.data()), reinterpret_cast<char*>(block.data()),
                                     static_cast<int>(chunk.size()), static_cast<int>(block.size()));
  block.resize(static_cast<size_t>(n));
  Bytes b;
  put_u32(b, static_cast<uint32_t>(n));
  put_bytes(b, block);
  return b;
}

// What a correct client sends: the LZ4 block only when it is shorter.
inline Bytes smallest_frame(const Bytes& chunk) {
  Bytes packed = lz4_frame(chunk);
  return packed.size() < chunk.size() + 4 ? packed : raw_frame(chunk);
}

inline Bytes final_bytes(uint64_t manifest_length) {
  Bytes b;
  put_u8(b, 0x02);
  put_u64(b, manifest_length);
  return b;
}

inline uint64_t id_at(const Bytes& ids, size_t k) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | ids[k * 8 + static_cast<size_t>(i)];
  return v;
}

// Deterministic chunk contents: `seed` varies the bytes.
inline Bytes pattern_chunk(size_t length, uint32_t seed) {
  Bytes b(length);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < length; ++i) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    b[i] = static_cast<uint8_t>(x);
  }
  return b;
}
