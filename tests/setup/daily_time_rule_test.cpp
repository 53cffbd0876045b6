// The daily time check: the documented cases, and the scan compared with the C
// library's own swscanf over every short text of a small alphabet.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "daily_time_rule.h"

namespace {

TEST(DailyTimeRule, AcceptsAndRefusesTheDocumentedTimes) {
    for (const char16_t* time : {u"23:59", u"00:00", u"02:00", u"12:30"})
        EXPECT_TRUE(is_valid_daily_time(time)) << std::u16string(time).size();
    for (const char16_t* time : {u"2:00", u"24:00", u"12:60", u"12:5x", u"12-30", u"", u"12:00 ", u"1200",
                                 u"ab:cd", u"-1:00", u"12:-1", u"99:99"})
        EXPECT_FALSE(is_valid_daily_time(time));
}

// "%2u" skips blanks and takes a sign, so these pass here and are refused later
// by the install script's own pattern.
TEST(DailyTimeRule, LetsALeadingBlankOrSignThrough) {
    for (const char16_t* time : {u" 2:00", u"+2:00", u"12: 5", u"12:+5", u"-0:00", u"\t2:00"})
        EXPECT_TRUE(is_valid_daily_time(time));
}

std::wstring to_wide(const std::u16string& text) { return std::wstring(text.begin(), text.end()); }

TEST(DailyTimeRule, ScanMatchesTheCLibrary) {
    const char16_t alphabet[] = u"0129:+- x\t";
    const size_t letters = sizeof alphabet / sizeof alphabet[0] - 1;
    std::u16string text;
    size_t compared = 0;
    // Every text of length 0 to 5 over the alphabet, as digits of a counter.
    for (size_t length = 0; length <= 5; ++length) {
        size_t total = 1;
        for (size_t i = 0; i < length; ++i) total *= letters;
        for (size_t n = 0; n < total; ++n) {
            text.assign(length, u' ');
            for (size_t i = 0, rest = n; i < length; ++i, rest /= letters) text[i] = alphabet[rest % letters];
            unsigned hour = 1000, minute = 1000, c_hour = 1000, c_minute = 1000;
            char16_t extra = 0;
            wchar_t c_extra = 0;
            const int got = scan_hour_minute(text.c_str(), &hour, &minute, &extra);
            const int expected = std::swscanf(to_wide(text).c_str(), L"%2u:%2u%lc", &c_hour, &c_minute, &c_extra);
            // EOF and 0 both mean that nothing was assigned.
            ASSERT_EQ(got < 0 ? 0 : got, expected < 0 ? 0 : expected) << "text of " << length << " units, n=" << n;
            if (got >= 1) {
                ASSERT_EQ(hour, c_hour) << "n=" << n;
            }
            if (got >= 2) {
                ASSERT_EQ(minute, c_minute) << "n=" << n;
            }
            if (got >= 3) {
                ASSERT_EQ(static_cast<wchar_t>(extra), c_extra) << "n=" << n;
            }
            ++compared;
        }
    }
    EXPECT_GT(compared, 100000u);
}

}  // namespace
