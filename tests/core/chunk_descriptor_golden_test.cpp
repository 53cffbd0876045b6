// The chunk descriptor's byte order, pinned to published hash values.
#include <gtest/gtest.h>

#include "core/byte_order.h"
#include "core/chunk_hash.h"

namespace {

TEST(ChunkDescriptorGolden, EmptyInput) {
  const uint8_t expected[52] = {
      0x00, 0x00, 0x00, 0x00,  // length 0
      // XXH3-128: low half 0x6001C324468D497F, then high 0x99AA06D3014798D8
      0x7F, 0x49, 0x8D, 0x46, 0x24, 0xC3, 0x01, 0x60, 0xD8, 0x98, 0x47, 0x01, 0xD3, 0x06, 0xAA, 0x99,
      // BLAKE3 of the empty input
      0xAF, 0x13, 0x49, 0xB9, 0xF5, 0xF9, 0xA1, 0xA6, 0xA0, 0x40, 0x4D, 0xEA, 0x36, 0xDC, 0xC9, 0x49,
      0x9B, 0xCB, 0x25, 0xC9, 0xAD, 0xC1, 0x12, 0xB7, 0xCC, 0x9A, 0x93, 0xCA, 0xE4, 0x1F, 0x32, 0x62};
  uint8_t descriptor[52];
  chunk_descriptor_build("", 0, descriptor);
  EXPECT_EQ(0, memcmp(descriptor, expected, 52));
  EXPECT_TRUE(chunk_descriptor_matches("", 0, expected));
}

TEST(ChunkDescriptorGolden, AnyChangedByteOrLengthFailsTheMatch) {
  uint8_t data[4096];
  for (int i = 0; i < 4096; ++i) data[i] = static_cast<uint8_t>(i * 7);
  uint8_t descriptor[52];
  chunk_descriptor_build(data, 4096, descriptor);
  EXPECT_EQ(get_u32le(descriptor), 4096u);
  EXPECT_FALSE(chunk_descriptor_matches(data, 4095, descriptor));
  data[4000] ^= 1;
  EXPECT_FALSE(chunk_descriptor_matches(data, 4096, descriptor));
}

TEST(ByteOrder, LittleEndianBothWays) {
  uint8_t b[8];
  put_u64le(b, 0x0807060504030201ull);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(b[i], i + 1);
  EXPECT_EQ(get_u32le(b + 4), 0x08070605u);
  EXPECT_EQ(get_u16le(b), 0x0201u);
  put_i64le(b, -2);
  EXPECT_EQ(get_i64le(b), -2);
  EXPECT_EQ(b[0], 0xFE);
  EXPECT_EQ(b[7], 0xFF);
}

}  // namespace
