// Conversions are strict and never replace characters; the join keeps its bound.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "agent/platform/substitute/substitute_volume.h"
#include "agent/run_control/text_conversion.h"

namespace {

std::u16string take(wchar16* text) {
  std::u16string result(text);
  free(text);
  return result;
}

std::string take(char* text) {
  std::string result(text);
  free(text);
  return result;
}

TEST(TextConversion, RoundTripsEmptyAsciiAndAstralText) {
  for (const char* text : {"", "abc", "relat\xC3\xB3rios", "\xF0\x9F\x98\x80 ok", "\xE4\xB8\xAD/\xE6\x96\x87"}) {
    std::u16string wide = take(utf8_to_wide(text));
    EXPECT_EQ(text, take(wide_to_utf8(wide.c_str())));
  }
  EXPECT_EQ(u"\U0001F600", take(utf8_to_wide("\xF0\x9F\x98\x80")));
}

TEST(TextConversion, IllFormedUtf8EndsTheRun) {
  const char* ill_formed[] = {
      "\x80",              // lone continuation byte
      "a\xC3",             // truncated sequence
      "\xC0\xAF",          // overlong "/"
      "\xED\xA0\x80",      // encoded surrogate
      "\xF4\x90\x80\x80",  // above U+10FFFF
  };
  for (const char* text : ill_formed) {
    EXPECT_EXIT(utf8_to_wide(text), testing::ExitedWithCode(1),
                "^vardokeep-agent: invalid UTF-8 \\(Windows error=[0-9]+\\)\n$")
        << text;
  }
}

TEST(TextConversion, UnpairedSurrogatesEndTheRun) {
  const char16_t* ill_formed[] = {u"a\xD800", u"\xDC00z", u"\xD800\xD800"};
  for (const char16_t* text : ill_formed) {
    EXPECT_EXIT(wide_to_utf8(text), testing::ExitedWithCode(1),
                "^vardokeep-agent: invalid Unicode name \\(Windows error=[0-9]+\\)\n$");
  }
}

TEST(JoinWindowsPath, AddsOneSeparatorOnlyWhereNeeded) {
  EXPECT_EQ(u"\\\\?\\C:\\a", take(join_windows_path(u"\\\\?\\C:\\", u"a")));
  EXPECT_EQ(u"\\\\?\\C:\\d\\a", take(join_windows_path(u"\\\\?\\C:\\d", u"a")));
  EXPECT_EQ(u"a", take(join_windows_path(u"", u"a")));
  // No normalisation: slashes, dots and doubled separators pass through.
  EXPECT_EQ(u"x/.\\\\..\\*", take(join_windows_path(u"x/.\\\\..", u"*")));
}

TEST(JoinWindowsPath, LengthsUpTo32765AreJoinedAnd32766Fails) {
  std::u16string directory(32000, u'd');
  EXPECT_EQ(32765u + 1, take(join_windows_path(directory.c_str(), std::u16string(765, u'n').c_str())).size());
  EXPECT_EXIT(join_windows_path(directory.c_str(), std::u16string(766, u'n').c_str()), testing::ExitedWithCode(1),
              "^vardokeep-agent: Windows path too long \\(Windows error=[0-9]+\\)\n$");
  // The separator is counted even when the directory already ends in one.
  std::u16string rooted = std::u16string(31999, u'd') + u"\\";
  EXPECT_EXIT(join_windows_path(rooted.c_str(), std::u16string(766, u'n').c_str()), testing::ExitedWithCode(1),
              "Windows path too long");
}

}  // namespace
