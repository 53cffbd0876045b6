#include "core/chunk_hash.h"

#include <blake3.h>
#include <xxhash.h>

#include <cstring>

#include "core/byte_order.h"
#include "core/wire_format.h"

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

void chunk_descriptor_build(const void* data, uint32_t length, uint8_t* descriptor) {
  put_u32le(descriptor + kDescriptorLengthOffset, length);
  const ChunkXxh3 xxh = chunk_xxh3_128(data, length);
  put_u64le(descriptor + kDescriptorXxh3LowOffset, xxh.low);
  put_u64le(descriptor + kDescriptorXxh3HighOffset, xxh.high);
  chunk_blake3(data, length, descriptor + kDescriptorBlake3Offset);
}

bool chunk_descriptor_matches(const void* data, uint32_t length, const uint8_t* descriptor) {
  uint8_t actual[kChunkDescriptorSize];
  chunk_descriptor_build(data, length, actual);
  return std::memcmp(actual, descriptor, kChunkDescriptorSize) == 0;
}

uint64_t hash_xxh3_64(const void* data, size_t length) { return XXH3_64bits(data, length); }
