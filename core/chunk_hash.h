// The two identities of a chunk: XXH3-128 (seed 0, default secret) and BLAKE3
// (default 32-byte output).
#pragma once
#include <cstddef>
#include <cstdint>

struct ChunkXxh3 {
  uint64_t low;
  uint64_t high;
};

ChunkXxh3 chunk_xxh3_128(const void* data, size_t length);
void chunk_blake3(const void* data, size_t length, uint8_t out[32]);
