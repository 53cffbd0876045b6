#include "core/chunk_hash.h"

#include <blake3.h>
#include <xxhash.h>

ChunkXxh3 chunk_xxh3_128(const void* data, size_t length) {
  XXH128_hash_t h = XXH3_128bits(data, length);
  return ChunkXxh3{h.low64, h.high64};
}

void chunk_blake3(const void* data, size_t length, uint8_t out[32]) {
  blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  blake3_hasher_update(&hasher, data, length);
  blake3_hasher_finalize(&hasher, out, 32);
}
