#include "argument_quoting.h"

bool append_bounded_argument(char16_t* buffer, size_t capacity, const char16_t* argument) {
    // A buffer without a terminator inside its capacity is not a text.
    size_t n = 0;
    while (n < capacity && buffer[n] != 0) ++n;
    if (n + 3 >= capacity) return false;

    size_t w = n;
    if (n > 0) buffer[w++] = u' ';
    buffer[w++] = u'"';

    const char16_t* p = argument;
    for (;;) {
        size_t k = 0;
        while (p[k] == u'\\') ++k;
        const char16_t c = p[k];
        // Backslashes are literal unless a quote or the closing quote follows them.
        const size_t backslashes = (c == u'"' || c == 0) ? 2 * k : k;
        if (w + backslashes + 4 >= capacity) return false;
        for (size_t i = 0; i < backslashes; ++i) buffer[w++] = u'\\';
        if (c == u'"') {
            buffer[w++] = u'\\';
            buffer[w++] = u'"';
        } else if (c == 0) {
            break;
        } else {
            buffer[w++] = c;
        }
        p += k + 1;
    }
    buffer[w++] = u'"';
    buffer[w] = 0;
    return true;
}
