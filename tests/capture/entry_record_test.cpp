// An entry record is written whole or not at all: every check comes before the
// record's single write, and each refusal has its line.
#include <gtest/gtest.h>

#include <functional>

#include "agent/capture/entry_record.h"
#include "core/byte_order.h"
#include "tests/capture/capture_support.h"

namespace {

struct Opened {
  PlatformHandle handle;
  PlatformFileInformation information;
};

Opened open_entry(const std::u16string& path, uint32_t access = WIN_GENERIC_READ | WIN_READ_CONTROL) {
  Opened o;
  o.handle = platform_create_file(path.c_str(), access, WIN_FILE_SHARE_READ, WIN_OPEN_EXISTING, 0x0A200000);
  EXPECT_NE(PLATFORM_INVALID_HANDLE, o.handle);
  EXPECT_TRUE(platform_file_information(o.handle, &o.information));
  return o;
}

TEST(EntryRecord, PathsOfOneTo4095BytesAreAcceptedWithTheirLengthAndAttributeTotal) {
  prepare_source();
  substitute_add_file(u"C:\\src\\f", {});
  for (size_t length : {size_t{1}, size_t{4095}}) {
    DiskManifest disk;
    Opened o = open_entry(u"C:\\src\\f");
    std::string path(length, 'p');
    write_entry_record(o.handle, o.information, path.c_str(), false, 0, nullptr, 0);
    Bytes bytes = disk.bytes();
    ASSERT_EQ(8u + 48u + length + 282u, bytes.size());
    EXPECT_EQ(length, get_u32le(bytes.data() + 8));
    EXPECT_EQ(282u, get_u32le(bytes.data() + 8 + 20));
    EXPECT_EQ(manifest_end, bytes.size());
  }
}

TEST(EntryRecord, ADescriptorOf65536BytesIsTheLargestAccepted) {
  prepare_source();
  substitute_add_file(u"C:\\src\\f", {}).security_descriptor = filled(65536, 1);
  DiskManifest disk;
  Opened o = open_entry(u"C:\\src\\f");
  write_entry_record(o.handle, o.information, "f", false, 0, nullptr, 0);
  EXPECT_EQ(8u + 48u + 1u + 226u + 65536u, disk.size());
}

TEST(EntryRecord, EachRefusalHasItsLineAndWritesNothing) {
  struct Case {
    const char* name;
    std::function<void(Opened&)> arrange;
    std::string path;
    const char* line;
  };
  const std::vector<Case> cases = {
      {"empty path", [](Opened&) {}, "", "UTF-8 path exceeds manifest limit \\(Windows error="},
      {"4096-byte path", [](Opened&) {}, std::string(4096, 'p'), "UTF-8 path exceeds manifest limit \\(Windows error="},
      {"descriptor refused",
       [](Opened&) { substitute.faults.push_back({"GetSecurityInfo", u"C:\\src\\f", 1307}); }, "f",
       "read file owner and ACL: f \\(Windows error=1307\\)"},
      {"handle without READ_CONTROL",
       // FILE_READ_DATA | FILE_READ_ATTRIBUTES: GENERIC_READ would carry READ_CONTROL.
       [](Opened& o) { o = open_entry(u"C:\\src\\f", 0x81); }, "f",
       "read file owner and ACL: f \\(Windows error=5\\)"},
      {"descriptor over 64 KiB",
       [](Opened&) { substitute_find(u"C:\\src\\f")->security_descriptor = filled(65537, 1); }, "f",
       "security descriptor too large \\(Windows error="},
      {"record that would end one byte past 4 GiB",
       // 48 + 1 + 282 bytes: the record is refused whole.
       [](Opened&) { manifest_end = 4294967296ull - 330; }, "f", "manifest exceeds 4 GiB \\(Windows error="},
      {"last-write time negative as a signed number",
       [](Opened& o) { o.information.last_write_time = 0x8000000000000000ull; }, "d/f",
       "timestamp outside supported range: d/f \\(Windows error="},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    prepare_source();
    substitute_add_file(u"C:\\src\\f", filled(10, 1));
    DiskManifest disk;
    Opened o = open_entry(u"C:\\src\\f");
    EXPECT_EXIT(
        {
          c.arrange(o);
          write_entry_record(o.handle, o.information, c.path.c_str(), false, 10, nullptr, 0);
        },
        testing::ExitedWithCode(1), std::string("^vardokeep-agent: ") + c.line + ".*\n$");
    EXPECT_EQ(8u, disk.size());
  }
}

TEST(EntryRecord, DirectoriesIgnoreTheSizeTheyAreGiven) {
  prepare_source();
  DiskManifest disk;
  Opened o;
  o.handle = platform_create_file(SRC.c_str(), WIN_READ_CONTROL, 7, WIN_OPEN_EXISTING, 0x02200000);
  ASSERT_TRUE(platform_file_information(o.handle, &o.information));
  write_entry_record(o.handle, o.information, ".", true, 12345, nullptr, 0);
  Bytes bytes = disk.bytes();
  EXPECT_EQ(16877u, get_u32le(bytes.data() + 8 + 8));
  EXPECT_EQ(0u, get_u64le(bytes.data() + 8 + 24));
}

}  // namespace
