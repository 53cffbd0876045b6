// One chunk batch against a scripted server: the header, the 52-byte
// descriptors, the payload frames the bitmap asks for, the chunk IDs written
// into their manifest slots, and the counters.
#include <gtest/gtest.h>
#include <lz4.h>
#include <unistd.h>
#include <xxhash.h>

#include <random>
#include <string>

#include "agent/capture/chunk_batch.h"
#include "agent/capture/manifest_writer.h"
#include "agent/platform/substitute/substitute_volume.h"
#include "agent/run_control/process_resources.h"
#include "agent/run_control/run_state.h"
#include "agent/transfer/batch_exchange.h"
#include "agent/transfer/server_channel.h"
#include "tests/transfer/scripted_peer.h"

namespace {

constexpr uint64_t LARGEST_ID = 2251799813685246ull;  // 2^51 - 2

// BLAKE3 of the empty input and of "abc", as published.
const Bytes BLAKE3_EMPTY = {0xaf, 0x13, 0x49, 0xb9, 0xf5, 0xf9, 0xa1, 0xa6, 0xa0, 0x40, 0x4d, 0xea, 0x36, 0xdc, 0xc9, 0x49,
                            0x9b, 0xcb, 0x25, 0xc9, 0xad, 0xc1, 0x12, 0xb7, 0xcc, 0x9a, 0x93, 0xca, 0xe4, 0x1f, 0x32, 0x62};
const Bytes BLAKE3_ABC = {0x64, 0x37, 0xb3, 0xac, 0x38, 0x46, 0x51, 0x33, 0xff, 0xb6, 0x3b, 0x75, 0x27, 0x3a, 0x8d, 0xb5,
                          0x48, 0xc5, 0x58, 0x46, 0x5d, 0x79, 0xdb, 0x03, 0xfd, 0x35, 0x9c, 0x6c, 0xd5, 0xbd, 0x9d, 0x85};

std::string fatal_line(const std::string& message) {
  return "^vardokeep-agent: " + message + " \\(Windows error=[0-9]+\\)\n$";
}

Bytes random_bytes(size_t n, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(random());
  return b;
}

class ChunkBatchExchange : public testing::Test {
 protected:
  ScriptedPeer peer;
  std::string manifest_path;
  std::vector<Bytes> chunks;

  void SetUp() override {
    substitute_reset();
    reset_run_state();
    server_channel = ServerChannel{peer.agent_out, peer.agent_in};
    manifest_fd = make_temp_file(&manifest_path);
    manifest_begin();
    chunk_batch.capacity = CHUNK_BATCH_MAX;
    chunk_batch_allocate();
  }
  void TearDown() override {
    chunk_batch_release();
    close(manifest_fd);
    manifest_fd = -1;
    unlink(manifest_path.c_str());
  }

  // As the chunking does it: bytes into the next position, 8 zero bytes reserved.
  void add_chunk(const Bytes& bytes) {
    uint32_t k = chunk_batch.count++;
    std::copy(bytes.begin(), bytes.end(), chunk_batch.data + static_cast<size_t>(k) * kChunkSize);
    chunk_batch.lengths[k] = static_cast<uint32_t>(bytes.size());
    chunk_batch.slot_offsets[k] = manifest_end;
    static const uint8_t zeros[8] = {};
    manifest_write_at(manifest_end, zeros, 8);
    manifest_end += 8;
    chunks.push_back(bytes);
  }
  Bytes slot(uint32_t k) {
    Bytes all = read_whole_file(manifest_path);
    return Bytes(all.begin() + 8 + 8 * k, all.begin() + 16 + 8 * k);
  }
  static Bytes ids(std::initializer_list<uint64_t> values) {
    Bytes b;
    for (uint64_t v : values) {
      Bytes one = u64le(v);
      b.insert(b.end(), one.begin(), one.end());
    }
    return b;
  }
};

TEST_F(ChunkBatchExchange, EmptyChunkIsDescribedByTheHandBuiltLayout) {
  add_chunk({});
  peer.answer(Bytes{0x00});
  peer.answer(ids({0x0007060504030201ull}));
  exchange_chunk_batch();

  Bytes descriptor = {0x00, 0x00, 0x00, 0x00,                          // length
                      0x7F, 0x49, 0x8D, 0x46, 0x24, 0xC3, 0x01, 0x60,  // XXH3 low half
                      0xD8, 0x98, 0x47, 0x01, 0xD3, 0x06, 0xAA, 0x99}; // XXH3 high half
  descriptor.insert(descriptor.end(), BLAKE3_EMPTY.begin(), BLAKE3_EMPTY.end());
  const std::vector<Bytes> expected = {
      {0x01, 0x01, 0x00, 0x00, 0x00},  // batch header, n = 1
      descriptor,
      {0x00, 0x00, 0x00, 0x00},  // a 0-byte chunk travels raw with L = 0
  };
  EXPECT_EQ(peer.packets(), expected);
  EXPECT_EQ(slot(0), (Bytes{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x00}));
  EXPECT_EQ(run_counters.chunks_checked, 1u);
  EXPECT_EQ(run_counters.chunk_bytes_sent, 0u);
  EXPECT_EQ(run_counters.chunk_wire_bytes_sent, 4u);
  EXPECT_EQ(chunk_batch.count, 0u);
}

TEST_F(ChunkBatchExchange, DescriptorHoldsLengthXxh3HalvesLowFirstAndBlake3) {
  add_chunk(bytes_of("abc"));
  peer.answer(Bytes{0x01});
  peer.answer(ids({1}));
  exchange_chunk_batch();

  XXH128_hash_t h = XXH3_128bits("abc", 3);
  Bytes descriptor = concat({u32le(3), u64le(h.low64), u64le(h.high64), BLAKE3_ABC});
  std::vector<Bytes> packets = peer.packets();
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[1], descriptor);
}

TEST_F(ChunkBatchExchange, MissingChunksTravelRawOrCompressedAsTheyGain) {
  Bytes one = {0x5A};
  Bytes noise = random_bytes(4096, 1);
  Bytes zeros(4096, 0);
  Bytes two = {0x00, 0x00};  // too short for LZ4 to gain anything
  for (const Bytes& c : {one, noise, zeros, two}) add_chunk(c);
  peer.answer(Bytes{0, 0, 0, 0});
  peer.answer(ids({11, 12, 13, 14}));
  exchange_chunk_batch();

  std::vector<Bytes> packets = peer.packets();
  ASSERT_EQ(packets.size(), 2u + 4u);
  EXPECT_EQ(packets[2], (Bytes{0x01, 0x00, 0x00, 0x00, 0x5A}));
  EXPECT_EQ(packets[3], concat({u32le(4096), noise}));

  const Bytes& packed = packets[4];
  uint32_t l = packed[0] | packed[1] << 8 | packed[2] << 16 | packed[3] << 24;
  ASSERT_EQ(packed.size(), 4u + l);
  EXPECT_LT(l, 100u);
  Bytes unpacked(4096);
  ASSERT_EQ(LZ4_decompress_safe(reinterpret_cast<const char*>(packed.data() + 4),
                                reinterpret_cast<char*>(unpacked.data()), static_cast<int>(l), 4096),
            4096);
  EXPECT_EQ(unpacked, zeros);
  EXPECT_EQ(packets[5], (Bytes{0x02, 0x00, 0x00, 0x00, 0x00, 0x00}));

  // The counters are the sums of the chunk lengths and of the frames sent.
  EXPECT_EQ(run_counters.chunk_bytes_sent, 1u + 4096u + 4096u + 2u);
  EXPECT_EQ(run_counters.chunk_wire_bytes_sent, 5u + 4100u + (4u + l) + 6u);
  EXPECT_EQ(run_counters.chunks_checked, 4u);
  for (uint32_t k = 0; k < 4; ++k) EXPECT_EQ(slot(k), u64le(11 + k));
}

// A chunk that LZ4 would pack into exactly its own length goes raw: L equal to
// the length is what tells the server a frame is raw.
TEST_F(ChunkBatchExchange, ChunkThatLz4ShrinksToItsOwnLengthIsSentRaw) {
  Bytes chunk;
  // One 4-byte repeat saves exactly the byte that the closing literal run costs.
  for (uint32_t head = 4; head < 64 && chunk.empty(); ++head) {
    for (uint32_t tail = 4; tail < 64 && chunk.empty(); ++tail) {
      Bytes candidate = random_bytes(head, head);
      candidate.insert(candidate.end(), candidate.begin(), candidate.begin() + 4);
      Bytes rest = random_bytes(tail, 1000 + tail);
      candidate.insert(candidate.end(), rest.begin(), rest.end());
      Bytes out(LZ4_compressBound(static_cast<int>(candidate.size())));
      int packed = LZ4_compress_default(reinterpret_cast<const char*>(candidate.data()),
                                        reinterpret_cast<char*>(out.data()), static_cast<int>(candidate.size()),
                                        static_cast<int>(out.size()));
      if (packed == static_cast<int>(candidate.size())) chunk = candidate;
    }
  }
  ASSERT_FALSE(chunk.empty()) << "no input found that LZ4 packs into its own length";
  add_chunk(chunk);
  peer.answer(Bytes{0});
  peer.answer(ids({5}));
  exchange_chunk_batch();
  std::vector<Bytes> packets = peer.packets();
  ASSERT_EQ(packets.size(), 3u);
  EXPECT_EQ(packets[2], concat({u32le(static_cast<uint32_t>(chunk.size())), chunk}));
}

TEST_F(ChunkBatchExchange, ChunksTheServerHoldsSendNoPayload) {
  for (uint32_t k = 0; k < 6; ++k) add_chunk(random_bytes(100 + k, k));
  peer.answer(Bytes{1, 2, 2, 1, 1, 2});
  peer.answer(ids({6, 5, 4, 3, 2, LARGEST_ID}));
  exchange_chunk_batch();
  EXPECT_EQ(peer.packets().size(), 2u);  // header and descriptors only
  EXPECT_EQ(run_counters.chunk_bytes_sent, 0u);
  EXPECT_EQ(run_counters.chunk_wire_bytes_sent, 0u);
  EXPECT_EQ(run_counters.chunks_checked, 6u);
  EXPECT_EQ(slot(0), u64le(6));
  EXPECT_EQ(slot(5), u64le(LARGEST_ID));
}

TEST_F(ChunkBatchExchange, IdenticalChunksGetEqualDescriptorsAndWhateverIdsComeBack) {
  Bytes same = random_bytes(4096, 9);
  add_chunk(same);
  add_chunk(same);
  peer.answer(Bytes{0, 1});
  peer.answer(ids({77, 77}));
  exchange_chunk_batch();
  std::vector<Bytes> packets = peer.packets();
  ASSERT_EQ(packets.size(), 3u);
  EXPECT_TRUE(std::equal(packets[1].begin(), packets[1].begin() + 52, packets[1].begin() + 52));
  EXPECT_EQ(slot(0), u64le(77));
  EXPECT_EQ(slot(1), u64le(77));
}

TEST_F(ChunkBatchExchange, BitmapByteAboveTwoStopsAfterTheFramesBeforeIt) {
  for (uint32_t k = 0; k < 8; ++k) add_chunk(random_bytes(300, k));
  EXPECT_EXIT(
      {
        peer.answer(Bytes{0, 0, 0, 0, 0, 3, 0, 0});
        exchange_chunk_batch();
      },
      testing::ExitedWithCode(1), fatal_line("invalid missing-chunk bitmap"));
  std::vector<Bytes> packets = peer.packets();
  ASSERT_EQ(packets.size(), 2u + 5u);
  for (uint32_t k = 0; k < 5; ++k) EXPECT_EQ(packets[2 + k], concat({u32le(300), chunks[k]}));
  EXPECT_EQ(slot(0), u64le(0));
}

TEST_F(ChunkBatchExchange, ChunkIdsOutsideOneTo2Pow51Minus2AreRefused) {
  for (uint32_t k = 0; k < 3; ++k) add_chunk(random_bytes(10, k));
  for (uint64_t bad : {LARGEST_ID + 1, uint64_t{0}, ~uint64_t{0}}) {
    EXPECT_EXIT(
        {
          peer.answer(Bytes{1, 1, 1});
          peer.answer(ids({LARGEST_ID, bad, 9}));
          exchange_chunk_batch();
        },
        testing::ExitedWithCode(1), fatal_line("invalid chunk ID"))
        << bad;
    peer.packets();
    // The ID before the bad one is already in its slot; the others stay zero.
    EXPECT_EQ(slot(0), u64le(LARGEST_ID));
    EXPECT_EQ(slot(1), u64le(0));
    EXPECT_EQ(slot(2), u64le(0));
    static const uint8_t zeros[8] = {};
    manifest_write_at(chunk_batch.slot_offsets[0], zeros, 8);
  }
}

TEST_F(ChunkBatchExchange, LargestBatchSendsItsDescriptorsInPiecesOf64KiB) {
  for (uint32_t k = 0; k < CHUNK_BATCH_MAX; ++k) add_chunk(u32le(k));
  peer.answer(Bytes(CHUNK_BATCH_MAX, 2));
  Bytes id_bytes;
  for (uint32_t k = 0; k < CHUNK_BATCH_MAX; ++k) {
    Bytes one = u64le(1000 + k);
    id_bytes.insert(id_bytes.end(), one.begin(), one.end());
  }
  peer.answer(id_bytes);
  exchange_chunk_batch();
  std::vector<Bytes> packets = peer.packets();
  ASSERT_EQ(packets.size(), 3u);
  EXPECT_EQ(packets[0], (Bytes{0x01, 0x00, 0x08, 0x00, 0x00}));
  EXPECT_EQ(packets[1].size(), 65536u);
  EXPECT_EQ(packets[2].size(), 2048u * 52u - 65536u);
  Bytes descriptors = concat({packets[1], packets[2]});
  for (uint32_t k = 0; k < CHUNK_BATCH_MAX; k += 511) {
    EXPECT_EQ(Bytes(descriptors.begin() + 52 * k, descriptors.begin() + 52 * k + 4), u32le(4)) << k;
  }
  EXPECT_EQ(slot(2047), u64le(1000 + 2047));
  EXPECT_EQ(run_counters.chunks_checked, 2048u);
}

TEST_F(ChunkBatchExchange, ServerGoneMidBatchIsAConnectionClosed) {
  add_chunk(random_bytes(64, 1));
  peer.answer(Bytes{0});
  peer.hang_up();
  EXPECT_EXIT(exchange_chunk_batch(), testing::ExitedWithCode(1), fatal_line("connection closed; retry to reuse received chunks"));
}

}  // namespace
