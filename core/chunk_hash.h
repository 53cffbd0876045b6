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

// The 52-byte chunk descriptor of the wire: u32 length, the XXH3-128 low half
// then the high half (each little-endian, not the library's canonical
// big-endian form), then BLAKE3.
void chunk_descriptor_build(const void* data, uint32_t length, uint8_t* descriptor);
// True when `data` has the length and both hashes that `descriptor` names.
bool chunk_descriptor_matches(const void* data, uint32_t length, const uint8_t* descriptor);

// XXH3-64, for in-memory sets and record checks.
uint64_t hash_xxh3_64(const void* data, size_t length);
