#include "daily_time_rule.h"

#include "bounded_text.h"

namespace {

enum class Conversion { assigned, matching_failure, input_failure };

bool is_scanf_space(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r';
}

// "%2u": skip white space (not counted in the width), then at most two units of
// an optionally signed decimal number; a minus sign wraps as strtoul does.
Conversion convert_unsigned_width_2(const char16_t*& p, unsigned* value) {
    while (is_scanf_space(*p)) ++p;
    if (*p == 0) return Conversion::input_failure;
    int width = 2;
    bool negative = false;
    if (*p == u'+' || *p == u'-') {
        negative = *p == u'-';
        ++p;
        --width;
    }
    unsigned digits = 0;
    int count = 0;
    while (width > 0 && *p >= u'0' && *p <= u'9') {
        digits = digits * 10 + static_cast<unsigned>(*p - u'0');
        ++p;
        --width;
        ++count;
    }
    if (count == 0) return Conversion::matching_failure;
    *value = negative ? 0u - digits : digits;
    return Conversion::assigned;
}

}  // namespace

int scan_hour_minute(const char16_t* text, unsigned* hour, unsigned* minute, char16_t* extra) {
    const char16_t* p = text;
    int assigned = 0;
    // An input failure before the first assignment makes scanf return EOF.
    const auto ended = [&assigned] { return assigned == 0 ? -1 : assigned; };

    switch (convert_unsigned_width_2(p, hour)) {
        case Conversion::input_failure: return ended();
        case Conversion::matching_failure: return assigned;
        case Conversion::assigned: ++assigned; break;
    }
    if (*p == 0) return ended();
    if (*p != u':') return assigned;
    ++p;
    switch (convert_unsigned_width_2(p, minute)) {
        case Conversion::input_failure: return ended();
        case Conversion::matching_failure: return assigned;
        case Conversion::assigned: ++assigned; break;
    }
    // "%lc" takes any one unit, white space included.
    if (*p == 0) return ended();
    *extra = *p;
    return ++assigned;
}

bool is_valid_daily_time(const char16_t* text) {
    unsigned hour = 0;
    unsigned minute = 0;
    char16_t extra = 0;
    if (scan_hour_minute(text, &hour, &minute, &extra) != 2) return false;
    if (text_length(text) != 5 || text[2] != u':') return false;
    return hour <= 23 && minute <= 59;
}
