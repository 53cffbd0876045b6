// Content becomes 4096-byte chunks, each with a zero slot right behind its
// record, collected in the batch and flushed the moment it is full.
#include <gtest/gtest.h>

#include <cstring>

#include "agent/capture/content_chunks.h"
#include "agent/run_control/run_state.h"
#include "core/byte_order.h"
#include "tests/capture/capture_support.h"

namespace {

PlatformHandle open_file(const std::u16string& path) {
  return platform_create_file(path.c_str(), WIN_GENERIC_READ | WIN_READ_CONTROL, WIN_FILE_SHARE_READ,
                              WIN_OPEN_EXISTING, 0x0A200000);
}

void allocate_batch(uint32_t capacity) {
  chunk_batch = ChunkBatch{};
  chunk_batch.capacity = capacity;
  chunk_batch_allocate();
}

TEST(ContentChunks, SizesAroundTheChunkBoundaryGiveTheirChunksAndSlots) {
  struct Case {
    size_t size;
    std::vector<uint32_t> lengths;
  };
  const Case cases[] = {{0, {}}, {1, {1}}, {4095, {4095}}, {4096, {4096}}, {4097, {4096, 1}}, {8192, {4096, 4096}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    prepare_source();
    Bytes content = filled(c.size, 5);
    substitute_add_file(u"C:\\src\\f", content);
    allocate_batch(64);
    DiskManifest disk;
    manifest_end = 100;  // as if a record ended here
    PlatformHandle h = open_file(u"C:\\src\\f");
    read_content_chunks(h, c.size, "f");

    ASSERT_EQ(c.lengths.size(), chunk_batch.count);
    for (size_t k = 0; k < c.lengths.size(); ++k) {
      EXPECT_EQ(c.lengths[k], chunk_batch.lengths[k]);
      EXPECT_EQ(100u + 8 * k, chunk_batch.slot_offsets[k]);
      EXPECT_EQ(0, memcmp(chunk_batch.data + 4096 * k, content.data() + 4096 * k, c.lengths[k]));
    }
    EXPECT_EQ(100u + 8 * c.lengths.size(), manifest_end);
    if (!c.lengths.empty()) {
      Bytes bytes = disk.bytes();
      EXPECT_EQ(Bytes(8 * c.lengths.size(), 0), Bytes(bytes.begin() + 100, bytes.end()));
    }
    // The end-of-file probe runs for every size, the empty one too.
    int reads = 0;
    for (const auto& call : substitute.calls) reads += call.operation == "ReadFile";
    EXPECT_EQ(static_cast<int>(c.lengths.size()) + 1, reads);
    chunk_batch_release();
  }
}

TEST(ContentChunks, EverySlotIsInTheManifestBeforeItsChunkCanBeFlushed) {
  prepare_source();
  substitute_add_file(u"C:\\src\\f", filled(4096 * 70, 1));
  allocate_batch(64);
  check_mode = true;
  DiskManifest disk;
  int checks = 0;
  // Before every read, each pending chunk's slot is 8 zero bytes in the file.
  for (uint32_t call = 2; call <= 71; ++call) {
    substitute.hooks.push_back({"ReadFile", u"C:\\src\\f", call, [&] {
                                  Bytes bytes = disk.bytes();
                                  for (uint32_t k = 0; k < chunk_batch.count; ++k) {
                                    ASSERT_LE(chunk_batch.slot_offsets[k] + 8, bytes.size());
                                    EXPECT_EQ(0u, get_u64le(bytes.data() + chunk_batch.slot_offsets[k]));
                                  }
                                  ++checks;
                                }});
  }
  PlatformHandle h = open_file(u"C:\\src\\f");
  read_content_chunks(h, 4096 * 70, "f");
  EXPECT_EQ(70, checks);
  EXPECT_EQ(64u, run_counters.chunks_checked);  // one flush of 64 in the middle of the file
  EXPECT_EQ(6u, chunk_batch.count);
  chunk_batch_release();
  reset_run_state();
}

TEST(ContentChunks, AFullBatchFlushesAtOnceAndTheRestAfterTheWalk) {
  prepare_source();
  substitute_add_file(u"C:\\src\\a", filled(4096 * 64, 1));  // exactly one batch
  substitute_add_file(u"C:\\src\\b", filled(4096 * 35 + 1, 2));
  uint64_t at_probe_of_a = 0, at_first_read_of_b = 0;
  substitute.hooks.push_back({"ReadFile", u"C:\\src\\a", 65, [&] { at_probe_of_a = run_counters.chunks_checked; }});
  substitute.hooks.push_back({"ReadFile", u"C:\\src\\b", 1, [&] { at_first_read_of_b = run_counters.chunks_checked; }});
  CheckRun run = run_check({u"--batch", u"64"});
  // The 64th chunk, a's last, flushed the batch before a's end-of-file probe.
  EXPECT_EQ(64u, at_probe_of_a);
  EXPECT_EQ(64u, at_first_read_of_b);
  EXPECT_EQ(100u, run.summary["chunks_checked"]);
}

TEST(ContentChunks, TenThousandChunksAreCountedAndTheirSlotsStayZeroInCheck) {
  prepare_source();
  substitute_add_file(u"C:\\src\\big", filled(4096 * 9999 + 17, 3));
  substitute_add_file(u"C:\\src\\small", filled(4096, 4));  // 10001 chunks: ends on a partial batch
  substitute_add_file(u"C:\\src\\zz", {});
  CheckRun run = run_check({u"--batch", u"2048"});
  EXPECT_EQ(10001u, run.summary["chunks_checked"]);
  EXPECT_EQ(0u, run.summary["chunk_bytes_sent"]);
  EXPECT_EQ(0u, run.summary["chunk_wire_bytes_sent"]);
  // The magic and "." end at 339; big's record is 48 + 3 + 282 bytes, then its slots.
  const size_t big_slots = 339 + 48 + 3 + 282;
  ASSERT_GE(run.manifest.size(), big_slots + 8 * 10000);
  EXPECT_EQ(Bytes(8 * 10000, 0), Bytes(run.manifest.begin() + big_slots, run.manifest.begin() + big_slots + 80000));
}

TEST(ContentChunks, ATotalThatIsAMultipleOfTheCapacityEndsWithNothingLeft) {
  prepare_source();
  substitute_add_file(u"C:\\src\\a", filled(4096 * 100, 1));
  substitute_add_file(u"C:\\src\\b", filled(4096 * 28, 2));
  CheckRun run = run_check({u"--batch", u"64"});
  EXPECT_EQ(128u, run.summary["chunks_checked"]);
}

}  // namespace
