// The three libraries linked from packages give their published answers.
#include <gtest/gtest.h>
#include <lz4.h>

#include <cstring>
#include <vector>

#include "core/chunk_hash.h"

TEST(DependencyHashes, Xxh3OfEmptyInputHasPublishedHalves) {
  ChunkXxh3 h = chunk_xxh3_128("", 0);
  EXPECT_EQ(h.low, 0x6001C324468D497Full);
  EXPECT_EQ(h.high, 0x99AA06D3014798D8ull);
}

TEST(DependencyHashes, Blake3OfEmptyInputHasPublishedValue) {
  static const uint8_t expected[32] = {0xaf, 0x13, 0x49, 0xb9, 0xf5, 0xf9, 0xa1, 0xa6, 0xa0, 0x40, 0x4d,
                                       0xea, 0x36, 0xdc, 0xc9, 0x49, 0x9b, 0xcb, 0x25, 0xc9, 0xad, 0xc1,
                                       0x12, 0xb7, 0xcc, 0x9a, 0x93, 0xca, 0xe4, 0x1f, 0x32, 0x62};
  uint8_t out[32];
  chunk_blake3("", 0, out);
  EXPECT_EQ(0, memcmp(out, expected, 32));
}

TEST(DependencyHashes, Lz4BlockRoundTripsAndShrinksZeros) {
  std::vector<char> chunk(4096, 0);
  for (size_t i = 0; i < 100; ++i) chunk[i * 7] = static_cast<char>(i);
  std::vector<char> packed(4095);
  int packed_length = LZ4_compress_default(chunk.data(), packed.data(), 4096, 4095);
  ASSERT_GT(packed_length, 0);
  EXPECT_LT(packed_length, 1000);
  std::vector<char> unpacked(4096);
  ASSERT_EQ(4096, LZ4_decompress_safe(packed.data(), unpacked.data(), packed_length, 4096));
  EXPECT_EQ(chunk, unpacked);
}
