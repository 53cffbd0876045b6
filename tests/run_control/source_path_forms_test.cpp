// The source becomes an absolute path in the long form, whatever form it came in.
#include <gtest/gtest.h>

#include <cstdlib>

#include "agent/platform/substitute/substitute_volume.h"
#include "agent/run_control/source_path.h"

namespace {

std::u16string long_form(const std::u16string& full_path) {
  wchar16* root = long_form_source_root(full_path.c_str());
  std::u16string result(root);
  free(root);
  return result;
}

TEST(SourcePathForms, DriveUncAndLongFormsBecomeLongForm) {
  EXPECT_EQ(u"\\\\?\\C:\\Data\\x", long_form(u"C:\\Data\\x"));
  EXPECT_EQ(u"\\\\?\\C:\\", long_form(u"C:\\"));  // a drive root keeps its backslash
  EXPECT_EQ(u"\\\\?\\UNC\\server\\share\\dir", long_form(u"\\\\server\\share\\dir"));
  EXPECT_EQ(u"\\\\?\\D:\\already", long_form(u"\\\\?\\D:\\already"));
  EXPECT_EQ(u"\\\\?\\UNC\\srv\\s", long_form(u"\\\\?\\UNC\\srv\\s"));
}

// The source as typed, the full path the system makes of it (the current
// directory is C:\work) and the root the agent reads.
TEST(SourcePathForms, EachTypedFormResolvesAsTheSystemResolvesIt) {
  struct Case {
    const char* source;
    const char16_t* full;
    const char16_t* root;  // null: refused as no real directory
  };
  const Case cases[] = {
      {"sub/dir", u"C:\\work\\sub\\dir", u"\\\\?\\C:\\work\\sub\\dir"},
      {"C:\\work\\..\\src\\.\\", u"C:\\src\\", u"\\\\?\\C:\\src\\"},
      {"C:/src//x", u"C:\\src\\x", u"\\\\?\\C:\\src\\x"},
      {"C:\\src.", u"C:\\src", u"\\\\?\\C:\\src"},
      {"C:\\src  ", u"C:\\src", u"\\\\?\\C:\\src"},
      {"C:\\..\\..\\src", u"C:\\src", u"\\\\?\\C:\\src"},  // ".." stops at the drive root
      {"\\src", u"C:\\src", u"\\\\?\\C:\\src"},                  // the current drive's root
      {"C:src", u"C:\\work\\src", u"\\\\?\\C:\\work\\src"},    // C:'s current directory
      {"D:src", u"D:\\src", u"\\\\?\\D:\\src"},                   // another drive: its root
      {"\\\\server\\share\\..\\dir", u"\\\\server\\share\\dir", u"\\\\?\\UNC\\server\\share\\dir"},
      {"\\\\.\\C:\\src", u"\\\\.\\C:\\src", u"\\\\?\\C:\\src"},
      // The call normalizes a long-form path too; only opening one skips it.
      {"\\\\?\\C:\\src/x\\..\\x.", u"\\\\?\\C:\\src\\x", u"\\\\?\\C:\\src\\x"},
      // ".." stops at the device prefix, not at the drive after it.
      {"\\\\.\\C:\\..\\src", u"\\\\.\\src", nullptr},
  };
  for (const Case& c : cases) {
    substitute_reset();
    for (const char16_t* directory : {u"C:\\src\\x", u"C:\\work\\sub\\dir", u"C:\\work\\src", u"D:\\src",
                                      u"\\\\server\\share\\dir"}) {
      substitute_add_directory(directory);
    }
    wchar16* full = resolve_source_path(c.source);
    EXPECT_EQ(std::u16string(c.full), std::u16string(full)) << c.source;
    wchar16* root = long_form_source_root(full);
    if (c.root == nullptr) {
      EXPECT_EXIT(require_real_directory(root), testing::ExitedWithCode(1),
                  "^vardokeep-agent: source must be a real directory \\(Windows error=[0-9]+\\)\n$")
          << c.source;
    } else {
      EXPECT_EQ(std::u16string(c.root), std::u16string(root)) << c.source;
      require_real_directory(root);
    }
    free(root);
    free(full);
  }
}

TEST(SourcePathForms, OnlyARealDirectoryIsAccepted) {
  substitute_reset();
  substitute_add_directory(u"C:\\src");
  substitute_add_file(u"C:\\file", {1});
  substitute_add_directory(u"C:\\junction").attributes |= WIN_FILE_ATTRIBUTE_REPARSE_POINT;
  require_real_directory(u"\\\\?\\C:\\src");
  for (const char16_t* bad : {u"\\\\?\\C:\\file", u"\\\\?\\C:\\junction", u"\\\\?\\C:\\missing"}) {
    EXPECT_EXIT(require_real_directory(bad), testing::ExitedWithCode(1),
                "^vardokeep-agent: source must be a real directory \\(Windows error=[0-9]+\\)\n$");
  }
}

// GetFinalPathNameByHandleW names the object the handle is on, each component
// spelled as its directory holds it, whatever text opened it.
TEST(SourcePathForms, FinalPathsNameTheObjectInEachVolumeForm) {
  const bool DOS = false, NT = true;
  struct Case {
    const char* name;
    const char16_t* opened;
    bool nt;  // VOLUME_NAME_NT, else VOLUME_NAME_DOS
    const char16_t* expected;  // null: the call fails with `code`
    uint32_t code;
  };
  const Case cases[] = {
      {"another case and non-ASCII letters", u"\\\\?\\c:\\DATA\\\u00c9T\u00c9", DOS,
       u"\\\\?\\C:\\Data\\\u00e9t\u00e9", 0},
      {"trailing backslash", u"C:\\Data\\", DOS, u"\\\\?\\C:\\Data", 0},
      {"device name below a directory", u"\\\\?\\C:\\Data\\NUL", DOS, u"\\\\?\\C:\\Data\\NUL", 0},
      {"drive root", u"\\\\?\\C:\\", DOS, u"\\\\?\\C:\\", 0},
      {"drive root in NT form", u"C:\\", NT, u"\\Device\\HarddiskVolume3\\", 0},
      {"NT form", u"C:\\data\\\u00e9t\u00e9", NT, u"\\Device\\HarddiskVolume3\\Data\\\u00e9t\u00e9", 0},
      {"share", u"\\\\?\\UNC\\SERVER\\Share\\dir", DOS, u"\\\\?\\UNC\\server\\share\\Dir", 0},
      {"share root", u"\\\\server\\share", DOS, u"\\\\?\\UNC\\server\\share\\", 0},
      {"share in NT form", u"\\\\server\\share\\dir", NT, u"\\Device\\Mup\\server\\share\\Dir", 0},
      {"shadow copy in NT form", u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy7\\data", NT,
       u"\\Device\\HarddiskVolumeShadowCopy7\\data", 0},
      // A link inside a shadow copy leads to the live volume it names.
      {"shadow copy through a link", u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy7\\linked\\\u00e9t\u00e9", NT,
       u"\\Device\\HarddiskVolume3\\Data\\\u00e9t\u00e9", 0},
      {"shadow copy has no DOS name", u"\\\\?\\GLOBALROOT\\Device\\HarddiskVolumeShadowCopy7\\data",
       DOS, nullptr, 3},
      {"subst drive", u"S:\\\u00c9T\u00c9", DOS, u"\\\\?\\C:\\Data\\\u00e9t\u00e9", 0},
  };
  for (const Case& c : cases) {
    substitute_reset();
    substitute_add_directory(u"C:\\Data\\\u00e9t\u00e9");
    substitute_add_file(u"C:\\Data\\NUL", {});
    substitute_add_directory(u"\\\\server\\share\\Dir");
    substitute_add_directory(u"GLOBALROOT\\Device\\HarddiskVolumeShadowCopy7\\data");
    substitute.links[u"S:"] = u"C:\\Data";
    substitute.links[u"GLOBALROOT\\Device\\HarddiskVolumeShadowCopy7\\linked"] = u"C:\\Data";
    PlatformHandle h = platform_create_file(c.opened, WIN_READ_CONTROL, 7, WIN_OPEN_EXISTING, WIN_FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_NE(PLATFORM_INVALID_HANDLE, h) << c.name;
    wchar16 buffer[300];
    auto final_path = c.nt ? platform_final_path_nt : platform_final_path;
    uint32_t length = final_path(h, buffer, 300);
    if (c.expected == nullptr) {
      EXPECT_EQ(0u, length) << c.name;
      EXPECT_EQ(c.code, platform_last_error()) << c.name;
    } else {
      EXPECT_EQ(std::u16string(c.expected), std::u16string(buffer, length)) << c.name;
      // Too small a buffer: the size needed, terminator included.
      EXPECT_EQ(length + 1, final_path(h, buffer, length)) << c.name;
    }
    platform_close_handle(h);
  }
}

// A handle stays on its object: a rename after the open moves it along, and a
// name made again afterwards is another object.
TEST(SourcePathForms, AHandleFollowsItsObjectNotItsName) {
  substitute_reset();
  substitute_add_file(u"C:\\d\\f", {1, 2, 3});
  PlatformHandle h = platform_create_file(u"C:\\d\\f", WIN_GENERIC_READ, 7, WIN_OPEN_EXISTING, 0);
  ASSERT_NE(PLATFORM_INVALID_HANDLE, h);
  // A directory with a handle open below it cannot be renamed; its file can.
  EXPECT_EQ(WIN_ERROR_ACCESS_DENIED, substitute_rename(u"C:\\d", u"C:\\e"));
  EXPECT_EQ(183u, substitute_rename(u"C:\\d\\f", u"C:\\Temp"));
  EXPECT_EQ(3u, substitute_rename(u"C:\\d\\f", u"C:\\none\\g"));
  EXPECT_EQ(0u, substitute_rename(u"C:\\d\\f", u"C:\\d\\G"));
  substitute_add_file(u"C:\\d\\f", {9});
  wchar16 buffer[300];
  uint32_t length = platform_final_path(h, buffer, 300);
  EXPECT_EQ(u"\\\\?\\C:\\d\\G", std::u16string(buffer, length));
  uint8_t bytes[8];
  uint32_t read = 0;
  ASSERT_TRUE(platform_read_file(h, bytes, 8, &read));
  EXPECT_EQ(3u, read);
  platform_close_handle(h);
  EXPECT_EQ(0u, substitute_rename(u"C:\\d", u"C:\\e"));
  EXPECT_NE(nullptr, substitute_find(u"C:\\E\\g"));

  // A handle that does not share deletion refuses the rename itself.
  h = platform_create_file(u"C:\\e\\g", WIN_GENERIC_READ, WIN_FILE_SHARE_READ, WIN_OPEN_EXISTING, 0);
  EXPECT_EQ(WIN_ERROR_SHARING_VIOLATION, substitute_rename(u"C:\\e\\g", u"C:\\e\\h"));
  platform_close_handle(h);
  // Removed and made again: the old handle finds no object.
  h = platform_create_file(u"C:\\e\\g", WIN_GENERIC_READ, 7, WIN_OPEN_EXISTING, 0);
  substitute_change_remove(u"C:\\e\\g");
  substitute_add_file(u"C:\\e\\g", {4});
  EXPECT_FALSE(platform_read_file(h, bytes, 8, &read));
  platform_close_handle(h);
}

}  // namespace
