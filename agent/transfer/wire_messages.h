// The backup protocol "VARDOR07". All integers little-endian, no padding.
//
//   hello            agent   "VARDOR07" 00                       9 bytes
//   hello answer     server  "VARDOR07"                          8 bytes
//   batch header     agent   01, n u32                           5 bytes
//   descriptors      agent   n x 52: length u32, XXH3-128 low u64, high u64, BLAKE3 32
//   bitmap           server  n bytes: 0 missing (a frame follows), 1 or 2 held
//   payload frame    agent   L u32, L bytes: raw when L equals the length, else LZ4 block
//   chunk IDs        server  n x u64, each 1 to 2^51 - 2
//   final message    agent   02, manifest length u64             9 bytes
//   manifest         agent   the manifest file, first byte to last
//   confirmation     server  129 bytes: name of 1 to 128 bytes [A-Za-z0-9_.-], NUL, ignored rest
#pragma once
#include <cstdint>

constexpr char PROTOCOL_MAGIC[8] = {'V', 'A', 'R', 'D', 'O', 'R', '0', '7'};
constexpr uint8_t MESSAGE_CHUNK_BATCH = 0x01;
constexpr uint8_t MESSAGE_FINAL = 0x02;
constexpr uint32_t BATCH_HEADER_BYTES = 5;
constexpr uint32_t CHUNK_DESCRIPTOR_BYTES = 52;
constexpr uint32_t FRAME_HEADER_BYTES = 4;
constexpr uint32_t CHUNK_ID_BYTES = 8;
constexpr uint64_t CHUNK_ID_MAX = 2251799813685246ull;  // 2^51 - 2
constexpr uint32_t FINAL_MESSAGE_BYTES = 9;
constexpr uint32_t CONFIRMATION_BYTES = 129;
// No read or write on the channel moves more than this in one call.
constexpr uint32_t CHANNEL_PIECE_MAX = 65536;
