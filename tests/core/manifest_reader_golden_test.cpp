// The reader against manifests written out byte by byte from the format.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "core/manifest_reader.h"
#include "tests/support/manifest_bytes.h"

namespace {

// An empty source directory: the magic, one 48-byte header, ".", the five
// attribute records, no slot. Last-write time one tick before 1970.
const Bytes kEmptyDirectoryManifest = {
    'V', 'A', 'R', 'D', 'O', 'M', '0', '6',
    // EntryHeader
    0x01, 0x00, 0x00, 0x00,  // path_length 1
    0x00, 0x00, 0x00, 0x00,  // reserved
    0xED, 0x41, 0x00, 0x00,  // mode 16877
    0x00, 0x00, 0x00, 0x00,  // reserved
    0x00, 0x00, 0x00, 0x00,  // reserved
    0xF6, 0x00, 0x00, 0x00,  // attributes_length 246
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // size 0
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  // mtime_sec -1
    0x9C, 0xC9, 0x9A, 0x3B,  // mtime_nsec 999999900
    0x00, 0x00, 0x00, 0x00,  // reserved
    '.',
    // attributes: 33-byte name, 4-byte value 0x10
    0x21, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00,
    'u', 's', 'e', 'r', '.', 'v', 'a', 'r', 'd', 'o', 'k', 'e', 'e', 'p', '.', 'w', 'i', 'n', 'd', 'o', 'w', 's',
    '.', 'a', 't', 't', 'r', 'i', 'b', 'u', 't', 'e', 's',
    0x10, 0x00, 0x00, 0x00,
    // created: 30-byte name, FILETIME 0x01D9000000000000
    0x1E, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00,
    'u', 's', 'e', 'r', '.', 'v', 'a', 'r', 'd', 'o', 'k', 'e', 'e', 'p', '.', 'w', 'i', 'n', 'd', 'o', 'w', 's',
    '.', 'c', 'r', 'e', 'a', 't', 'e', 'd',
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xD9, 0x01,
    // fileid: 29-byte name, serial 0xAABBCCDD, index high 1, low 2
    0x1D, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x00, 0x00,
    'u', 's', 'e', 'r', '.', 'v', 'a', 'r', 'd', 'o', 'k', 'e', 'e', 'p', '.', 'w', 'i', 'n', 'd', 'o', 'w', 's',
    '.', 'f', 'i', 'l', 'e', 'i', 'd',
    0xDD, 0xCC, 0xBB, 0xAA, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00,
    // modified: 31-byte name, FILETIME 116444735999999999
    0x1F, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00,
    'u', 's', 'e', 'r', '.', 'v', 'a', 'r', 'd', 'o', 'k', 'e', 'e', 'p', '.', 'w', 'i', 'n', 'd', 'o', 'w', 's',
    '.', 'm', 'o', 'd', 'i', 'f', 'i', 'e', 'd',
    0xFF, 0x7F, 0x3E, 0xD5, 0xDE, 0xB1, 0x9D, 0x01,
    // security: 31-byte name, 20-byte self-relative descriptor
    0x1F, 0x00, 0x00, 0x00, 0x14, 0x00, 0x00, 0x00,
    'u', 's', 'e', 'r', '.', 'v', 'a', 'r', 'd', 'o', 'k', 'e', 'e', 'p', '.', 'w', 'i', 'n', 'd', 'o', 'w', 's',
    '.', 's', 'e', 'c', 'u', 'r', 'i', 't', 'y',
    0x01, 0x00, 0x04, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00,
};

std::string print_to_text(const Bytes& manifest, ManifestSlotRule rule, ManifestStatus* status) {
  FILE* out = std::tmpfile();
  ManifestSource source = manifest_memory_source(manifest.data(), manifest.size());
  *status = manifest_print(&source, rule, out, nullptr);
  std::string text(static_cast<size_t>(std::ftell(out)), '\0');
  std::rewind(out);
  if (!text.empty() && std::fread(text.data(), 1, text.size(), out) != text.size()) text.clear();
  std::fclose(out);
  return text;
}

TEST(ManifestReaderGolden, EmptyDirectoryManifestIsOneRootRecord) {
  ASSERT_EQ(kEmptyDirectoryManifest.size(), 8u + 48u + 1u + 246u);
  ManifestSource source = manifest_memory_source(kEmptyDirectoryManifest.data(), kEmptyDirectoryManifest.size());
  ManifestReader reader;
  ManifestEntry entry;
  ASSERT_EQ(manifest_reader_open(&reader, &source, ManifestSlotRule::zero), ManifestStatus::ok);
  ASSERT_EQ(manifest_reader_next(&reader, &entry), ManifestStatus::ok) << manifest_error_text(&reader);
  EXPECT_STREQ(entry.path, ".");
  EXPECT_TRUE(entry.is_directory);
  EXPECT_EQ(entry.mtime_sec, -1);
  EXPECT_EQ(entry.mtime_nsec, 999999900u);
  EXPECT_EQ(entry.windows_attributes, 0x10u);
  EXPECT_EQ(entry.created, 0x01D9000000000000ull);
  EXPECT_EQ(entry.volume_serial, 0xAABBCCDDu);
  EXPECT_EQ(entry.file_index_high, 1u);
  EXPECT_EQ(entry.file_index_low, 2u);
  EXPECT_EQ(entry.reparse_length, 0u);
  EXPECT_EQ(entry.security_length, 20u);
  EXPECT_EQ(entry.slot_count, 0u);
  EXPECT_EQ(entry.end, kEmptyDirectoryManifest.size());
  EXPECT_EQ(manifest_reader_next(&reader, &entry), ManifestStatus::end);
}

TEST(ManifestReaderGolden, TestBuilderWritesTheSameBytes) {
  TestEntry root = dir_entry(".");
  root.modified = 116444735999999999ull;
  root.created = 0x01D9000000000000ull;
  root.fileid[0] = 0xAABBCCDD, root.fileid[1] = 1, root.fileid[2] = 2;
  root.security = {0x01, 0x00, 0x04, 0x80};
  root.security.resize(20, 0);
  EXPECT_EQ(manifest_bytes({root}), kEmptyDirectoryManifest);
}

TEST(ManifestReaderGolden, PrintsOneLinePerEntry) {
  ManifestStatus status;
  const std::string text = print_to_text(kEmptyDirectoryManifest, ManifestSlotRule::zero, &status);
  EXPECT_EQ(status, ManifestStatus::ok);
  EXPECT_EQ(text,
            "entry offset=8 path=\".\" kind=directory mode=040755 size=0 mtime=-1.999999900 attributes=0x00000010 "
            "created=133137663984140288 modified=116444735999999999 fileid=0xAABBCCDD:0x00000001:0x00000002 "
            "reparse=- security=0100048000000000000000000000000000000000 chunks=-\n"
            "end entries=1 bytes=303\n");
}

TEST(ManifestReaderGolden, MagicAloneIsAValidEmptyCapture) {
  // An exclusion of "." leaves the walk nothing to record.
  const Bytes manifest = {'V', 'A', 'R', 'D', 'O', 'M', '0', '6'};
  ManifestSource source = manifest_memory_source(manifest.data(), manifest.size());
  EXPECT_EQ(manifest_validate(&source, ManifestSlotRule::assigned, nullptr), ManifestStatus::ok);
}

TEST(ManifestReaderGolden, SlotsFollowFromSizeAndCarryTheirIds) {
  TestEntry big = file_entry("a/f", 4097, {7, 9});
  TestEntry stream = file_entry("a/f:s", 4096, {11});
  TestEntry empty = file_entry("a/e", 0, {});
  TestEntry link = reparse_entry("a/j");
  TestEntry dir_stream = file_entry("a:t", 1, {12});
  const Bytes manifest = manifest_bytes({dir_entry("."), dir_entry("a"), big, stream, empty, link, dir_stream});
  ManifestSource source = manifest_memory_source(manifest.data(), manifest.size());
  ManifestReader reader;
  ManifestEntry entry;
  ASSERT_EQ(manifest_reader_open(&reader, &source, ManifestSlotRule::assigned), ManifestStatus::ok);
  ASSERT_EQ(manifest_reader_next(&reader, &entry), ManifestStatus::ok);
  ASSERT_EQ(manifest_reader_next(&reader, &entry), ManifestStatus::ok);
  ASSERT_EQ(manifest_reader_next(&reader, &entry), ManifestStatus::ok) << manifest_error_text(&reader);
  EXPECT_STREQ(entry.path, "a/f");
  ASSERT_EQ(entry.slot_count, 2u);
  uint64_t ids[2];
  ASSERT_TRUE(manifest_read_slots(&reader, &entry, 0, 2, ids));
  EXPECT_EQ(ids[0], 7u);
  EXPECT_EQ(ids[1], 9u);
  ASSERT_EQ(manifest_reader_next(&reader, &entry), ManifestStatus::ok);
  EXPECT_TRUE(entry.is_stream);
  EXPECT_EQ(entry.owner_length, 3u);
  EXPECT_EQ(entry.slot_count, 1u);
  ASSERT_EQ(manifest_reader_next(&reader, &entry), ManifestStatus::ok);
  EXPECT_EQ(entry.slot_count, 0u);
  ASSERT_EQ(manifest_reader_next(&reader, &entry), ManifestStatus::ok) << manifest_error_text(&reader);
  EXPECT_TRUE(entry.is_reparse);
  EXPECT_EQ(entry.reparse_length, 8u);
  ASSERT_EQ(manifest_reader_next(&reader, &entry), ManifestStatus::ok) << manifest_error_text(&reader);
  EXPECT_STREQ(entry.path, "a:t");
  EXPECT_EQ(manifest_reader_next(&reader, &entry), ManifestStatus::end);
}

TEST(ManifestReaderGolden, FiletimeSplitsFlooringBeforeNineteenSeventy) {
  int64_t seconds;
  uint32_t nanoseconds;
  filetime_to_unix_time(116444736000000000ll - 1, &seconds, &nanoseconds);
  EXPECT_EQ(seconds, -1);
  EXPECT_EQ(nanoseconds, 999999900u);
  filetime_to_unix_time(0, &seconds, &nanoseconds);
  EXPECT_EQ(seconds, -11644473600ll);
  EXPECT_EQ(nanoseconds, 0u);
  filetime_to_unix_time(116444736000000000ll + 12345678, &seconds, &nanoseconds);
  EXPECT_EQ(seconds, 1);
  EXPECT_EQ(nanoseconds, 234567800u);
}

}  // namespace
