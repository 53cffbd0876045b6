// The package directory's name and the bounds of the paths formed from it.
#include <gtest/gtest.h>

#include <string>

#include "package_table.h"

namespace {

const PackageGuid sample = {0x0123abcd, 0x00ef, 0x4a5b, {0x8c, 0x01, 0x02, 0x03, 0xfe, 0xdc, 0xba, 0x98}};

TEST(PackageDirectoryName, IsVardokeepAndTheGuidInGroupsOf8_4_4_16) {
    char16_t out[package_path_capacity];
    ASSERT_TRUE(format_package_directory_path(out, package_path_capacity, u"C:\\Users\\adm\\AppData\\Local\\Temp\\", sample));
    EXPECT_EQ(std::u16string(out), u"C:\\Users\\adm\\AppData\\Local\\Temp\\Vardokeep-0123abcd-00ef-4a5b-8c010203fedcba98");
    const PackageGuid high = {0xffffffff, 0xabcd, 0xef01, {0xff, 0, 0, 0, 0, 0, 0, 0x0a}};
    ASSERT_TRUE(format_package_directory_path(out, package_path_capacity, u"T\\", high));
    EXPECT_EQ(std::u16string(out), u"T\\Vardokeep-ffffffff-abcd-ef01-ff0000000000000a");
}

// A path that would not fit is refused, never cut: 10 + 35 units follow the temp path.
TEST(PackageDirectoryName, RefusesAPathLongerThanItsCapacity) {
    char16_t out[package_path_capacity];
    const std::u16string fits(259 - 45, u't');
    EXPECT_TRUE(format_package_directory_path(out, package_path_capacity, fits.c_str(), sample));
    EXPECT_EQ(std::u16string(out).size(), 259u);
    const std::u16string too_long(260 - 45, u't');
    EXPECT_FALSE(format_package_directory_path(out, package_path_capacity, too_long.c_str(), sample));
    EXPECT_EQ(out[0], u'\0');

    const std::u16string directory(259 - 1 - 9, u'd');
    EXPECT_TRUE(format_package_member_path(out, package_path_capacity, directory.c_str(), u"README.md"));
    EXPECT_EQ(std::u16string(out), directory + u"\\README.md");
    EXPECT_FALSE(format_package_member_path(out, package_path_capacity, (directory + u"d").c_str(), u"README.md"));
}

// Later paths are built from the handle's final path; only a drive or a UNC
// path is a form that CreateFileW and PowerShell's -File both take.
TEST(PackageDirectoryName, FinalPathLosesOnlyItsLongFormPrefix) {
    struct Row {
        const char16_t* final_path;
        const char16_t* plain;  // nullptr: refused
    };
    const Row rows[] = {
        {u"\\\\?\\C:\\Users\\adm\\AppData\\Local\\Temp\\Vardokeep-x", u"C:\\Users\\adm\\AppData\\Local\\Temp\\Vardokeep-x"},
        {u"\\\\?\\d:\\t\\Vardokeep-x", u"d:\\t\\Vardokeep-x"},
        {u"\\\\?\\UNC\\server\\share\\Vardokeep-x", u"\\\\server\\share\\Vardokeep-x"},
        {u"\\\\?\\Volume{0b5c7a40-0000-0000-0000-100000000000}\\t\\Vardokeep-x", nullptr},
        {u"\\\\?\\C:\\", nullptr},
        {u"\\\\?\\UNC\\", nullptr},
        {u"\\\\?\\UNC\\\\share", nullptr},
        {u"\\\\.\\C:\\t\\Vardokeep-x", nullptr},
        {u"C:\\t\\Vardokeep-x", nullptr},
        {u"\\\\?", nullptr},
        {u"", nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(&row - rows);
        char16_t out[package_path_capacity];
        const bool ok = plain_final_path(out, package_path_capacity, row.final_path);
        EXPECT_EQ(ok, row.plain != nullptr);
        if (ok && row.plain != nullptr) {
            EXPECT_EQ(std::u16string(out), row.plain);
        }
    }
    char16_t small[8];
    EXPECT_FALSE(plain_final_path(small, 8, u"\\\\?\\C:\\Temp\\x"));
    EXPECT_TRUE(plain_final_path(small, 8, u"\\\\?\\C:\\Tmp\\"));
}

}  // namespace
