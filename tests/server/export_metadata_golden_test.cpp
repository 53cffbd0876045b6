// The exported Windows metadata file, checked against bytes laid out by hand.
#include <gtest/gtest.h>

#include "session_script.h"

namespace {

Bytes blake3_of(const Bytes& data) {
  blake3_hasher hasher;
  blake3_hasher_init(&hasher);
  blake3_hasher_update(&hasher, data.data(), data.size());
  Bytes out(32);
  blake3_hasher_finalize(&hasher, out.data(), 32);
  return out;
}

uint64_t u64_at(const Bytes& b, size_t at) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | b[at + static_cast<size_t>(i)];
  return v;
}

uint32_t u32_at(const Bytes& b, size_t at) {
  return static_cast<uint32_t>(u64_at(b, at) & 0xFFFFFFFFu);
}

TEST(ExportMetadataGolden, OneRootRecordIs89PlusDescriptorBytes) {
  const std::string root = fresh_directory("export-root");
  const std::string store = root + "/store";
  TestEntry dot = dir_entry(".");
  dot.attributes = 0x11;
  dot.created = 0x01D0000000000001ull;
  dot.modified = 0x01DA000000000000ull;
  dot.security = small_security_descriptor();
  std::string errors;
  const std::string name = upload_fresh(store, {}, manifest_bytes({dot}), &errors);
  ASSERT_FALSE(name.empty()) << errors;
  const ChildResult exported =
      run_refserver({"export-metadata", "--store", store, "--snapshot", name, "--output", root + "/meta"});
  ASSERT_EQ(exported.exit_code, 0) << exported.err;

  const size_t n = dot.security.size();
  Bytes expected;
  put_text(expected, "VARWMD01");
  put_u64(expected, 0);                   // previous_offset
  put_u32(expected, 1);                   // path_length
  put_u32(expected, static_cast<uint32_t>(n));
  put_u32(expected, 2);                   // kind: directory
  put_u32(expected, 0x11);                // attributes
  put_u64(expected, 0x01D0000000000001ull);  // creation_time
  put_u64(expected, 0x01DA000000000000ull);  // last_write_time
  put_text(expected, ".");
  put_bytes(expected, dot.security);
  put_u64(expected, 8);                   // last_record_offset
  put_bytes(expected, blake3_of(expected));
  ASSERT_EQ(expected.size(), 89 + n);
  EXPECT_EQ(read_file(root + "/meta"), expected);
}

TEST(ExportMetadataGolden, StreamsAndReparsePointsAreLeftOutFilterBackedEntriesKeptAndDirectoriesComeFirst) {
  const std::string root = fresh_directory("export-tree");
  const std::string store = root + "/store";
  const Bytes f = pattern_chunk(3, 1), s = pattern_chunk(1, 2), t = pattern_chunk(1, 3);
  TestEntry file = file_entry("d/f", 3, {1});
  file.security.push_back(0xEE);  // 21 bytes, to tell it apart
  // Filter-backed entries as older agents recorded them: the reparse-point
  // bit without reparse data. They are exported, the bit cleared.
  TestEntry folder = dir_entry("c");
  folder.attributes = 0x412;
  TestEntry wof = file_entry("c/w", 0, {});
  wof.attributes = 0x2421;
  const Bytes manifest = manifest_bytes({dir_entry("."), folder, wof, dir_entry("d"), file, file_entry("d/f:s", 1, {2}),
                                         reparse_entry("d/j"), file_entry("d:t", 1, {3}), file_entry("g", 0, {})});
  std::string errors;
  const std::string name = upload_fresh(store, {f, s, t}, manifest, &errors);
  ASSERT_FALSE(name.empty()) << errors;
  const ChildResult exported =
      run_refserver({"export-metadata", "--store", store, "--snapshot", name, "--output", root + "/meta"});
  ASSERT_EQ(exported.exit_code, 0) << exported.err;
  const Bytes meta = read_file(root + "/meta");
  ASSERT_GE(meta.size(), 48u);
  EXPECT_EQ(Bytes(meta.end() - 32, meta.end()), blake3_of(Bytes(meta.begin(), meta.end() - 32)));

  // Walk the chain from the last record back, as apply-metadata does.
  std::vector<std::string> paths;
  std::vector<uint32_t> kinds;
  std::vector<uint32_t> attributes;
  uint64_t offset = u64_at(meta, meta.size() - 40);
  uint64_t end = meta.size() - 40;
  while (offset != 0) {
    const uint32_t path_length = u32_at(meta, offset + 8);
    const uint32_t descriptor_length = u32_at(meta, offset + 12);
    ASSERT_EQ(offset + 40 + path_length + descriptor_length, end);
    paths.emplace_back(meta.begin() + static_cast<long>(offset + 40),
                       meta.begin() + static_cast<long>(offset + 40 + path_length));
    kinds.push_back(u32_at(meta, offset + 16));
    attributes.push_back(u32_at(meta, offset + 20));
    end = offset;
    offset = u64_at(meta, offset);
  }
  EXPECT_EQ(end, 8u);
  EXPECT_EQ(paths, (std::vector<std::string>{"g", "d/f", "d", "c/w", "c", "."}));
  EXPECT_EQ(kinds, (std::vector<uint32_t>{1, 1, 2, 1, 2, 2}));
  EXPECT_EQ(attributes, (std::vector<uint32_t>{0x20, 0x20, 0x10, 0x2021, 0x12, 0x10}));
  EXPECT_NE(exported.err.find("records=6 skipped_streams=2 skipped_reparse_points=1"), std::string::npos)
      << exported.err;
}

}  // namespace
