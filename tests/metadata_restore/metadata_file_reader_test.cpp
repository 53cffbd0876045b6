// The file-level checks and the chain walk of the metadata file, over files
// built by hand in memory. Every read must stay inside the file.
#include <gtest/gtest.h>

#include <cstring>

#include "core/metadata_file_reader.h"
#include "tests/metadata_restore/metadata_file_builder.h"

namespace {
struct MemoryFile {
  Bytes bytes;
  std::vector<std::pair<uint64_t, uint32_t>> reads;
};

bool read_memory(void* context, uint64_t offset, void* buffer, uint32_t length) {
  auto* file = static_cast<MemoryFile*>(context);
  file->reads.emplace_back(offset, length);
  if (offset > file->bytes.size() || length > file->bytes.size() - offset) {
    ADD_FAILURE() << "read of " << length << " bytes at " << offset << " outside a file of " << file->bytes.size();
    return false;
  }
  memcpy(buffer, file->bytes.data() + offset, length);
  return true;
}

struct WalkResult {
  MetadataCheck check = MetadataCheck::ok;
  std::vector<uint64_t> visited;  // record offsets whose headers passed, in visiting order
};

// The agent's sequence: file checks, then each record's checks, then the chain end.
WalkResult walk(MemoryFile& file) {
  static uint8_t piece[kMetadataChecksumPiece];
  WalkResult result;
  uint64_t last = 0;
  result.check = check_metadata_file(file.bytes.size(), read_memory, &file, piece, &last);
  if (result.check != MetadataCheck::ok) return result;
  MetadataChain chain = metadata_chain_start(file.bytes.size(), last);
  while (chain.offset != 0) {
    MetadataRecordHeader header;
    result.check = read_metadata_record_header(chain, read_memory, &file, &header);
    if (result.check != MetadataCheck::ok) return result;
    result.visited.push_back(chain.offset);
    metadata_chain_advance(chain, header);
  }
  result.check = check_metadata_chain_end(chain);
  return result;
}

WalkResult walk(const Bytes& bytes) {
  MemoryFile file{bytes, {}};
  return walk(file);
}

std::vector<TestRecord> three_records() {
  return {{".", test_descriptor(), 2, 0x10, 1, 2},
          {"a", test_descriptor(), 2, 0x10, 3, 4},
          {"a/f.txt", test_descriptor(true), 1, 0x21, 5, 6}};
}
}  // namespace

TEST(MetadataFileReader, WorkedLayoutWrittenByteForByte) {
  // One record for the root with a 20-byte descriptor: header at 8, path "." at
  // 48, descriptor at 49, trailer at 69 naming offset 8, 109 bytes in all.
  Bytes file = {'V', 'A', 'R', 'W', 'M', 'D', '0', '1',
                0, 0, 0, 0, 0, 0, 0, 0,    // previous_offset
                1, 0, 0, 0,                // path_length
                20, 0, 0, 0,               // descriptor_length
                2, 0, 0, 0,                // kind: directory
                0x10, 0, 0, 0,             // attributes
                1, 2, 3, 4, 5, 6, 7, 0,    // creation_time
                8, 9, 10, 11, 12, 13, 14, 0,  // last_write_time
                '.',
                1, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                8, 0, 0, 0, 0, 0, 0, 0};
  file.resize(109);
  fix_checksum(file);
  EXPECT_EQ(file, build_metadata_file({{".", Bytes(file.begin() + 49, file.begin() + 69), 2, 0x10,
                                        0x0007060504030201, 0x000E0D0C0B0A0908}}));
  MemoryFile memory{file, {}};
  uint64_t last = 0;
  static uint8_t piece[kMetadataChecksumPiece];
  ASSERT_EQ(MetadataCheck::ok, check_metadata_file(file.size(), read_memory, &memory, piece, &last));
  EXPECT_EQ(8u, last);
  MetadataChain chain = metadata_chain_start(file.size(), last);
  MetadataRecordHeader header;
  ASSERT_EQ(MetadataCheck::ok, read_metadata_record_header(chain, read_memory, &memory, &header));
  EXPECT_EQ(0u, header.previous_offset);
  EXPECT_EQ(1u, header.path_length);
  EXPECT_EQ(20u, header.descriptor_length);
  EXPECT_EQ(2u, header.kind);
  EXPECT_EQ(0x10u, header.attributes);
  EXPECT_EQ(0x0007060504030201u, header.creation_time);
  EXPECT_EQ(0x000E0D0C0B0A0908u, header.last_write_time);
}

TEST(MetadataFileReader, FileSizeBoundaryAndEmptyFile) {
  Bytes empty = build_metadata_file({});
  ASSERT_EQ(48u, empty.size());
  EXPECT_EQ(0u, get_le(empty, 8, 8));
  WalkResult result = walk(empty);
  EXPECT_EQ(MetadataCheck::ok, result.check);
  EXPECT_TRUE(result.visited.empty());

  Bytes short_file(empty.begin(), empty.begin() + 47);
  EXPECT_EQ(MetadataCheck::file_size, walk(short_file).check);
  EXPECT_EQ(MetadataCheck::file_size, walk(Bytes{}).check);
}

TEST(MetadataFileReader, VisitsRecordsFromLastToFirst) {
  std::vector<TestRecord> records = three_records();
  std::vector<uint64_t> offsets = record_offsets(records);
  WalkResult result = walk(build_metadata_file(records));
  ASSERT_EQ(MetadataCheck::ok, result.check);
  EXPECT_EQ((std::vector<uint64_t>{offsets[2], offsets[1], offsets[0]}), result.visited);
}

TEST(MetadataFileReader, ChangingAnyByteBeforeTheChecksumFailsTheChecksum) {
  Bytes good = build_metadata_file(three_records());
  for (size_t i = 8; i < good.size() - 32; ++i) {
    Bytes bad = good;
    bad[i] ^= 0x01;
    MemoryFile file{bad, {}};
    WalkResult result = walk(file);
    ASSERT_EQ(MetadataCheck::checksum, result.check) << "byte " << i;
    // Nothing beyond the checksum's own reads was looked at.
    EXPECT_TRUE(result.visited.empty());
  }
  for (size_t i = 0; i < 8; ++i) {
    Bytes bad = good;
    bad[i] ^= 0x20;
    EXPECT_EQ(MetadataCheck::format, walk(bad).check) << "magic byte " << i;
  }
  Bytes bad_checksum = good;
  bad_checksum.back() ^= 0x80;
  EXPECT_EQ(MetadataCheck::checksum, walk(bad_checksum).check);
}

TEST(MetadataFileReader, ChecksumIsHashedInPiecesOfAtMost64KiB) {
  // Two records with 65536-byte descriptors: the hashed part spans three pieces.
  Bytes big(65536, 0x5A);
  MemoryFile file{build_metadata_file({{"a", big, 1, 0, 0, 0}, {"b", big, 1, 0, 0, 0}}), {}};
  ASSERT_EQ(MetadataCheck::ok, walk(file).check);
  uint64_t hashed = 0, expected_at = 0;
  for (size_t i = 2; i < file.reads.size() && hashed < file.bytes.size() - 32; ++i) {
    EXPECT_EQ(expected_at, file.reads[i].first);
    EXPECT_LE(file.reads[i].second, 65536u);
    hashed += file.reads[i].second;
    expected_at += file.reads[i].second;
  }
  EXPECT_EQ(file.bytes.size() - 32, hashed);
}

TEST(MetadataFileReader, RecordOffsetsOutsideTheRegionAreRefused) {
  Bytes good = build_metadata_file(three_records());
  size_t trailer = good.size() - 40;
  for (uint64_t offset : {uint64_t{1}, uint64_t{7}, good.size() - 79, good.size() - 40, good.size(),
                          ~uint64_t{0} - 10}) {
    Bytes bad = good;
    set_le(bad, trailer, offset, 8);
    fix_checksum(bad);
    EXPECT_EQ(MetadataCheck::record_offset, walk(bad).check) << offset;
  }
  // A previous_offset that points below 8 is caught when it is visited.
  std::vector<uint64_t> offsets = record_offsets(three_records());
  Bytes bad = good;
  set_le(bad, offsets[2], 3, 8);
  fix_checksum(bad);
  WalkResult result = walk(bad);
  EXPECT_EQ(MetadataCheck::record_offset, result.check);
  EXPECT_EQ(1u, result.visited.size());
}

TEST(MetadataFileReader, EveryHeaderRuleRefusesTheRecord) {
  std::vector<TestRecord> records = three_records();
  uint64_t last = record_offsets(records)[2];
  Bytes good = build_metadata_file(records);
  struct Case {
    const char* name;
    size_t field;
    uint64_t value;
    int size;
  };
  const Case cases[] = {
      {"path_length 0", 8, 0, 4},
      {"path_length 4096", 8, 4096, 4},
      {"previous_offset equal to its own offset", 0, last, 8},
      {"previous_offset beyond its own offset", 0, last + 1, 8},
      {"descriptor_length 0", 12, 0, 4},
      {"descriptor_length 65537", 12, 65537, 4},
      {"kind 0", 16, 0, 4},
      {"kind 3", 16, 3, 4},
      {"record ends short of the trailer", 12, TD_LENGTH - 1, 4},
      {"record ends beyond the trailer", 12, TD_LENGTH + 1, 4},
      {"path_length pushes the end past the trailer", 8, 8, 4},
  };
  for (const Case& c : cases) {
    Bytes bad = good;
    set_le(bad, last + c.field, c.value, c.size);
    fix_checksum(bad);
    WalkResult result = walk(bad);
    EXPECT_EQ(MetadataCheck::invalid_record, result.check) << c.name;
    EXPECT_TRUE(result.visited.empty()) << c.name;
  }
}

TEST(MetadataFileReader, ARecordEndingShortOfTheNextOneIsRefusedWhenVisited) {
  std::vector<TestRecord> records = three_records();
  std::vector<uint64_t> offsets = record_offsets(records);
  Bytes good = build_metadata_file(records);
  for (int delta : {-1, 1}) {
    Bytes bad = good;
    set_le(bad, offsets[1] + 12, static_cast<uint64_t>(static_cast<int>(TD_LENGTH) + delta), 4);
    fix_checksum(bad);
    WalkResult result = walk(bad);
    EXPECT_EQ(MetadataCheck::invalid_record, result.check);
    EXPECT_EQ((std::vector<uint64_t>{offsets[2]}), result.visited);
  }
}

TEST(MetadataFileReader, AChainThatStopsBeforeOffset8IsRefusedAfterTheRecordsVisited) {
  std::vector<TestRecord> records = three_records();
  std::vector<uint64_t> offsets = record_offsets(records);
  Bytes bad = build_metadata_file(records);
  set_le(bad, offsets[1], 0, 8);  // the middle record claims to be the first
  fix_checksum(bad);
  WalkResult result = walk(bad);
  EXPECT_EQ(MetadataCheck::invalid_chain, result.check);
  EXPECT_EQ((std::vector<uint64_t>{offsets[2], offsets[1]}), result.visited);

  // Records present but a trailer that names none.
  Bytes none = build_metadata_file(records);
  set_le(none, none.size() - 40, 0, 8);
  fix_checksum(none);
  result = walk(none);
  EXPECT_EQ(MetadataCheck::invalid_chain, result.check);
  EXPECT_TRUE(result.visited.empty());
}
