// Quoting of the installer's command line: golden texts written by hand from
// the Windows rules, and the capacity bounds of the routine.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "argument_quoting.h"
#include "bounded_text.h"

namespace {

std::u16string quoted_all(std::initializer_list<const char16_t*> arguments, size_t capacity = 1024) {
    std::u16string buffer(capacity, u'\0');
    for (const char16_t* argument : arguments)
        if (!append_bounded_argument(buffer.data(), capacity, argument)) return u"<did not fit>";
    return std::u16string(buffer.c_str());
}

TEST(AppendBoundedArgument, SelfTestArgumentsGiveTheDocumentedCommandLine) {
    EXPECT_EQ(quoted_all({u"setup.exe", u"C:\\pasta com espaco\\", u"aspas\"a\\\"b", u"", u"C:\\dados"}),
              u"\"setup.exe\" \"C:\\pasta com espaco\\\\\" \"aspas\\\"a\\\\\\\"b\" \"\" \"C:\\dados\"");
}

TEST(AppendBoundedArgument, BackslashesAreDoubledOnlyBeforeAQuoteOrTheEnd) {
    struct Case {
        const char16_t* argument;
        const char16_t* quoted;
    };
    const Case cases[] = {
        {u"\\\\server\\share\\", u"\"\\\\server\\share\\\\\""},  // leading run kept, trailing one doubled
        {u"a\\\\b", u"\"a\\\\b\""},                            // inner run kept
        {u"\\\"", u"\"\\\\\\\"\""},                            // one backslash before a quote: three, then the quote
        {u"\"\"", u"\"\\\"\\\"\""},
        {u"\\", u"\"\\\\\""},
        {u"a b\tc", u"\"a b\tc\""},
        {u"a\u00e7\u00e3o \u2713", u"\"a\u00e7\u00e3o \u2713\""},
    };
    for (const Case& c : cases) EXPECT_EQ(quoted_all({c.argument}), c.quoted);
}

// The routine reserves room before each write: "ab" needs a capacity of 8 although
// its quoted form takes 5 units with the terminator.
TEST(AppendBoundedArgument, CapacityBoundsFollowTheReservation) {
    struct Case {
        const char16_t* existing;
        const char16_t* argument;
        size_t smallest_capacity;
    };
    const Case cases[] = {
        {u"", u"ab", 8},
        {u"", u"", 6},
        {u"x", u"", 8},
        {u"", u"a\\", 9},
        {u"", u"\"", 8},
    };
    for (const Case& c : cases) {
        for (size_t capacity : {c.smallest_capacity - 1, c.smallest_capacity}) {
            std::u16string buffer(capacity, u'\0');
            std::u16string(c.existing).copy(buffer.data(), text_length(c.existing));
            EXPECT_EQ(append_bounded_argument(buffer.data(), capacity, c.argument), capacity == c.smallest_capacity)
                << "capacity " << capacity << " smallest " << c.smallest_capacity;
        }
    }
}

// Whatever the capacity, nothing is written past it (ASan watches the exact
// allocation) and a result that fits is terminated inside it.
TEST(AppendBoundedArgument, NeverWritesPastItsCapacity) {
    for (const char16_t* argument : {u"", u"abc", u"a\\\\\"b\\", u"\"\"\"", u"\\\\\\"}) {
        for (size_t capacity = 1; capacity < 40; ++capacity) {
            auto buffer = std::make_unique<char16_t[]>(capacity);
            buffer[0] = 0;
            if (append_bounded_argument(buffer.get(), capacity, argument)) {
                EXPECT_LT(text_length(buffer.get()), capacity);
            }
        }
    }
}

TEST(AppendBoundedArgument, RefusesABufferWithoutTerminator) {
    char16_t buffer[4] = {u'a', u'b', u'c', u'd'};
    EXPECT_FALSE(append_bounded_argument(buffer, 4, u"x"));
}

}  // namespace
