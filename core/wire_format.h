// The backup protocol between the agent and the server. The agent always
// speaks first and writes one whole message before it reads the answer. All
// integers little-endian, no padding.
//
//   agent:  hello             "VARDOR07" 0x00                        (9 bytes)
//   server: hello answer      "VARDOR07"                             (8 bytes)
//   zero or more chunk batch exchanges:
//     agent:  batch header    0x01, u32 n (1 to 2048)                (5 bytes)
//     agent:  descriptors     n x 52 bytes:
//                               0  u32  chunk length (at most 4096)
//                               4  u64  XXH3-128 low half
//                               12 u64  XXH3-128 high half
//                               20 32   BLAKE3, default 32-byte output
//     server: bitmap          n bytes: 0 lacks the chunk, 1 or 2 payload not needed
//     agent:  payload frames  for every 0, in batch order: u32 L, L bytes;
//                               L == chunk length: raw bytes,
//                               L <  chunk length: one LZ4 block of the chunk
//     server: chunk IDs       n x u64, each 1 to 2^51 - 2
//   agent:  final message     0x02, u64 manifest length              (9 bytes)
//   agent:  manifest          manifest length bytes
//   server: confirmation      name (1 to 128 of A-Z a-z 0-9 _ . -), NUL,
//                             up to 129 bytes in all
//   agent:  closes its side; the server ends with success.
#pragma once

#include <cstdint>

inline constexpr char kProtocolMagic[8] = {'V', 'A', 'R', 'D', 'O', 'R', '0', '7'};
inline constexpr uint32_t kProtocolMagicSize = 8;
inline constexpr uint32_t kHelloSize = 9;
inline constexpr uint8_t kHelloTrailer = 0x00;

inline constexpr uint8_t kMessageChunkBatch = 0x01;
inline constexpr uint8_t kMessageFinal = 0x02;
inline constexpr uint32_t kBatchHeaderSize = 5;
inline constexpr uint32_t kFinalMessageSize = 9;

inline constexpr uint32_t kMaxBatchChunks = 2048;
inline constexpr uint32_t kMaxChunkLength = 4096;

inline constexpr uint32_t kChunkDescriptorSize = 52;
inline constexpr uint32_t kDescriptorLengthOffset = 0;
inline constexpr uint32_t kDescriptorXxh3LowOffset = 4;
inline constexpr uint32_t kDescriptorXxh3HighOffset = 12;
inline constexpr uint32_t kDescriptorBlake3Offset = 20;
inline constexpr uint32_t kBlake3Size = 32;

inline constexpr uint8_t kBitmapMissing = 0;
inline constexpr uint8_t kBitmapHeld = 1;
inline constexpr uint8_t kBitmapNotNeeded = 2;

inline constexpr uint32_t kPayloadFrameHeaderSize = 4;

inline constexpr uint64_t kChunkIdMin = 1;
inline constexpr uint64_t kChunkIdMax = 2251799813685246ull;  // 2^51 - 2

inline constexpr uint32_t kConfirmationSize = 129;
inline constexpr uint32_t kSnapshotNameMaxLength = 128;

// No read or write on the channel moves more than this in one call.
inline constexpr uint32_t kMaxIoPiece = 65536;

inline bool is_snapshot_name_byte(uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '_' || c == '.' || c == '-';
}
