// The manifest's bytes, pinned to layouts worked out by hand: the empty source
// directory, and a tree with one entry of every kind.
#include <gtest/gtest.h>

#include "core/manifest_reader.h"
#include "tests/capture/capture_support.h"

namespace {

TEST(ManifestLayout, EmptySourceDirectoryIsMagicAndOneRecord) {
  prepare_source();
  CheckRun run = run_check();
  const Bytes expected = {
      'V', 'A', 'R', 'D', 'O', 'M', '0', '6',
      // EntryHeader
      0x01, 0, 0, 0,                          // path_length 1
      0, 0, 0, 0,                             // reserved
      0xED, 0x41, 0, 0,                       // mode 16877
      0, 0, 0, 0, 0, 0, 0, 0,                 // reserved
      0x1A, 0x01, 0, 0,                       // attributes_length 282
      0, 0, 0, 0, 0, 0, 0, 0,                 // size 0
      5, 0, 0, 0, 0, 0, 0, 0,                 // mtime_sec 5
      100, 0, 0, 0,                           // mtime_nsec 100
      0, 0, 0, 0,                             // reserved
      '.',
      // attributes: 33, 4, name, 0x00000010
      33, 0, 0, 0, 4, 0, 0, 0, 'u', 's', 'e', 'r', '.', 'v', 'a', 'r', 'd', 'o', 'k', 'e', 'e', 'p', '.', 'w',
      'i', 'n', 'd', 'o', 'w', 's', '.', 'a', 't', 't', 'r', 'i', 'b', 'u', 't', 'e', 's', 0x10, 0, 0, 0,
      // created: 30, 8, name, raw FILETIME
      30, 0, 0, 0, 8, 0, 0, 0, 'u', 's', 'e', 'r', '.', 'v', 'a', 'r', 'd', 'o', 'k', 'e', 'e', 'p', '.', 'w',
      'i', 'n', 'd', 'o', 'w', 's', '.', 'c', 'r', 'e', 'a', 't', 'e', 'd', 0x08, 0x07, 0x06, 0x05, 0x04, 0x03,
      0x02, 0x01,
      // fileid: 29, 12, name, serial, index high, index low
      29, 0, 0, 0, 12, 0, 0, 0, 'u', 's', 'e', 'r', '.', 'v', 'a', 'r', 'd', 'o', 'k', 'e', 'e', 'p', '.', 'w',
      'i', 'n', 'd', 'o', 'w', 's', '.', 'f', 'i', 'l', 'e', 'i', 'd', 0xCD, 0xAB, 0x34, 0x12, 5, 0, 0, 0, 7, 0,
      0, 0,
      // modified: 31, 8, name, 116444736050000001
      31, 0, 0, 0, 8, 0, 0, 0, 'u', 's', 'e', 'r', '.', 'v', 'a', 'r', 'd', 'o', 'k', 'e', 'e', 'p', '.', 'w',
      'i', 'n', 'd', 'o', 'w', 's', '.', 'm', 'o', 'd', 'i', 'f', 'i', 'e', 'd', 0x81, 0x70, 0x39, 0xD8, 0xDE,
      0xB1, 0x9D, 0x01,
      // security: 31, 56, name, descriptor
      31, 0, 0, 0, 56, 0, 0, 0, 'u', 's', 'e', 'r', '.', 'v', 'a', 'r', 'd', 'o', 'k', 'e', 'e', 'p', '.', 'w',
      'i', 'n', 'd', 'o', 'w', 's', '.', 's', 'e', 'c', 'u', 'r', 'i', 't', 'y', 0x01, 0x00, 0x04, 0x80, 20, 0,
      0, 0, 36, 0, 0, 0, 0, 0, 0, 0, 48, 0, 0, 0, 0x01, 0x02, 0, 0, 0, 0, 0, 5, 0x20, 0, 0, 0, 0x20, 0x02, 0, 0,
      0x01, 0x01, 0, 0, 0, 0, 0, 5, 0x12, 0, 0, 0, 0x02, 0x00, 8, 0, 0, 0, 0, 0};
  ASSERT_EQ(339u, expected.size());  // 8 + 48 + 1 + 282
  EXPECT_EQ(expected, run.manifest);
  EXPECT_EQ(339u, run.summary["manifest_bytes"]);
  EXPECT_EQ(1u, run.summary["directories"]);
  EXPECT_EQ(0u, run.summary["files"]);
  EXPECT_EQ(0u, run.summary["chunks_checked"]);
}

// A mount point to "\??\C:\t" (print name "C:\t").
const Bytes junction_data = {0x03, 0x00, 0x00, 0xA0, 36, 0, 0, 0, 0, 0, 16, 0, 18, 0, 8, 0,
                             '\\', 0, '?', 0, '?', 0, '\\', 0, 'C', 0, ':', 0, '\\', 0, 't', 0, 0, 0,
                             'C', 0, ':', 0, '\\', 0, 't', 0, 0, 0};
// A relative symbolic link to "t.txt".
const Bytes symlink_data = {0x0C, 0x00, 0x00, 0xA0, 32, 0, 0, 0, 0, 0, 10, 0, 10, 0, 10, 0, 1, 0, 0, 0,
                            't', 0, '.', 0, 't', 0, 'x', 0, 't', 0, 't', 0, '.', 0, 't', 0, 'x', 0, 't', 0};

void identify(SubstituteEntry& e, uint32_t attributes, uint64_t created, uint64_t modified, uint64_t index) {
  e.attributes = attributes;
  e.creation_time = created;
  e.last_write_time = modified;
  e.file_index = index;
}

TEST(ManifestLayout, OneEntryOfEveryKindMatchesTheHandWorkedLayout) {
  prepare_source();
  identify(substitute_add_directory(u"C:\\src\\d"), 0x10, 11, 116444735999999999ull, 0x100000008ull);
  identify(substitute_add_file(u"C:\\src\\d\\f", filled(5000, 1)), 0x20, 12, 0, 9);
  identify(substitute_add_file(u"C:\\src\\e", {}), 0x21, 13, 116444736000000000ull, 10);
  identify(substitute_add_reparse_point(u"C:\\src\\j", junction_data, true), 0x410, 14, 133000000000000000ull, 11);
  identify(substitute_add_reparse_point(u"C:\\src\\l", symlink_data, false), 0x420, 15, 133000000012345678ull, 12);
  SubstituteEntry& s = substitute_add_file(u"C:\\src\\s", bytes_of("abc"));
  identify(s, 0x20, 16, 133000000000000001ull, 13);
  s.security_descriptor = {1, 0, 4, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  substitute_add_stream(u"C:\\src\\s", u"alt", filled(4097, 2));
  substitute_add_stream(SRC, u"r", filled(10, 3));

  CheckRun run = run_check();

  const uint32_t serial = 0x1234ABCD;
  const Bytes sd = default_descriptor();
  Bytes expected = bytes_of("VARDOM06");
  put_bytes(expected, golden_record({".", 16877, 0, 5, 100, 0x10, 0x0102030405060708ull, serial, 5, 7,
                                     116444736050000001ull, {}, sd}));
  // One tick before 1970: -1 s and 999999900 ns.
  put_bytes(expected, golden_record({"d", 16877, 0, -1, 999999900, 0x10, 11, serial, 1, 8, 116444735999999999ull,
                                     {}, sd}));
  // The FILETIME zero (1601).
  put_bytes(expected, golden_record({"d/f", 33188, 5000, -11644473600ll, 0, 0x20, 12, serial, 0, 9, 0, {}, sd}));
  put_bytes(expected, golden_record({"e", 33188, 0, 0, 0, 0x21, 13, serial, 0, 10, 116444736000000000ull, {}, sd}));
  put_bytes(expected, golden_record({"j", 33188, 0, 1655526400, 0, 0x410, 14, serial, 0, 11,
                                     133000000000000000ull, junction_data, sd}));
  put_bytes(expected, golden_record({"l", 33188, 0, 1655526401, 234567800, 0x420, 15, serial, 0, 12,
                                     133000000012345678ull, symlink_data, sd}));
  put_bytes(expected, golden_record({"s", 33188, 3, 1655526400, 100, 0x20, 16, serial, 0, 13,
                                     133000000000000001ull, {}, s.security_descriptor}));
  // A stream's record carries what its handle reports: its file's metadata.
  put_bytes(expected, golden_record({"s:alt", 33188, 4097, 1655526400, 100, 0x20, 16, serial, 0, 13,
                                     133000000000000001ull, {}, s.security_descriptor}));
  put_bytes(expected, golden_record({".:r", 33188, 10, 5, 100, 0x10, 0x0102030405060708ull, serial, 5, 7,
                                     116444736050000001ull, {}, sd}));
  EXPECT_EQ(expected, run.manifest);

  EXPECT_EQ(3u, run.summary["files"]);
  EXPECT_EQ(2u, run.summary["directories"]);
  EXPECT_EQ(2u, run.summary["alternate_streams"]);
  EXPECT_EQ(2u, run.summary["reparse_placeholders"]);
  EXPECT_EQ(6u, run.summary["chunks_checked"]);  // 2 + 1 + 2 + 1
  EXPECT_EQ(0u, run.summary["chunk_bytes_sent"]);
  EXPECT_EQ(0u, run.summary["chunk_wire_bytes_sent"]);
  EXPECT_EQ(expected.size(), run.summary["manifest_bytes"]);
}

TEST(ManifestLayout, FiletimeSplitsIntoSecondsRoundedDownAndNanoseconds) {
  struct Case {
    int64_t filetime;
    int64_t seconds;
    uint32_t nanoseconds;
  };
  const Case cases[] = {
      {0, -11644473600ll, 0},
      {1, -11644473600ll, 100},
      {116444736000000000ll, 0, 0},
      {116444735999999999ll, -1, 999999900},
      {116444735990000000ll, -1, 0},
      {116444736000000001ll, 0, 100},
      {116444736019999999ll, 1, 999999900},
      {INT64_MAX, 910692730085ll, 477580700},
  };
  for (const Case& c : cases) {
    int64_t seconds = 0;
    uint32_t nanoseconds = 0;
    filetime_to_unix_time(c.filetime, &seconds, &nanoseconds);
    EXPECT_EQ(c.seconds, seconds) << c.filetime;
    EXPECT_EQ(c.nanoseconds, nanoseconds) << c.filetime;
  }
}

}  // namespace
