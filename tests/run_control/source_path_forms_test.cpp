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

TEST(SourcePathForms, RelativeSourceResolvesAgainstTheCurrentDirectory) {
  substitute_reset();
  wchar16* full = resolve_source_path("sub/dir");
  EXPECT_EQ(substitute.current_directory + u"\\sub\\dir", std::u16string(full));
  free(full);
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

}  // namespace
