// Positioned writes bounded by 4 GiB, attribute records, and the writer's
// failure lines.
#include <gtest/gtest.h>

#include "tests/capture/capture_support.h"

namespace {

TEST(ManifestWriter, AttributeRecordsFollowOneAnotherInTheRecord) {
  static RecordBuffer record;
  record.length = 5;
  append_attribute(record, "ab", "\x01\x02\x03", 3);
  append_attribute(record, "c", "\x04", 1);
  Bytes expected = {2, 0, 0, 0, 3, 0, 0, 0, 'a', 'b', 1, 2, 3, 1, 0, 0, 0, 1, 0, 0, 0, 'c', 4};
  ASSERT_EQ(5u + expected.size(), record.length);
  EXPECT_EQ(expected, Bytes(record.bytes + 5, record.bytes + record.length));
}

TEST(ManifestWriter, LargeWritesArriveWholeAndPatchesLandInPlace) {
  DiskManifest disk;
  Bytes big = filled(200000, 9);  // more than three 65536-byte pieces
  manifest_write_at(8, big.data(), big.size());
  manifest_write_at(100, "XY", 2);
  Bytes expected = bytes_of("VARDOM06");
  put_bytes(expected, big);
  expected[100] = 'X';
  expected[101] = 'Y';
  EXPECT_EQ(expected, disk.bytes());
}

TEST(ManifestWriter, AWriteMayEndAtExactly4GiBButNotOneByteLater) {
  DiskManifest disk;  // a sparse file: nothing near 4 GiB is really written but 18 bytes
  const uint64_t limit = 4294967296ull;
  manifest_write_at(limit - 10, "0123456789", 10);
  EXPECT_EQ(limit, disk.size());
  manifest_write_at(limit, "", 0);

  EXPECT_EXIT(manifest_write_at(limit - 7, "12345678", 8), testing::ExitedWithCode(1),
              "^vardokeep-agent: manifest exceeds 4 GiB \\(Windows error=[0-9]+\\)\n$");
  EXPECT_EXIT(manifest_write_at(limit + 1, "", 0), testing::ExitedWithCode(1), "manifest exceeds 4 GiB");
  // Offset plus length must not wrap around.
  EXPECT_EXIT(manifest_write_at(8, "x", UINT64_MAX), testing::ExitedWithCode(1), "manifest exceeds 4 GiB");
  EXPECT_EQ(limit, disk.size());  // the refused writes wrote nothing
}

TEST(ManifestWriter, EachWriteFailureHasItsLine) {
  struct Case {
    const char* name;
    int (*descriptor)();
    const char* line;
  };
  const Case cases[] = {
      {"descriptor that cannot seek",
       [] {
         int fds[2];
         EXPECT_EQ(0, pipe(fds));
         return fds[1];
       },
       "^vardokeep-agent: seek manifest \\(Windows error=[0-9]+\\)\n$"},
      {"descriptor that cannot write", [] { return open("/dev/null", O_RDONLY); },
       "^vardokeep-agent: write manifest \\(Windows error=[0-9]+\\)\n$"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EXIT(
        {
          manifest_fd = c.descriptor();
          manifest_write_at(0, "VARDOM06", 8);
        },
        testing::ExitedWithCode(1), c.line);
  }
}

}  // namespace
