#include "bounded_text.h"

size_t text_length(const char16_t* text) {
    size_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}

bool texts_equal(const char16_t* a, const char16_t* b) {
    while (*a != 0 && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

bool join_texts(char16_t* out, size_t capacity, const char16_t* const* parts, size_t count) {
    if (capacity == 0) return false;
    size_t w = 0;
    for (size_t i = 0; i < count; ++i) {
        for (const char16_t* p = parts[i]; *p != 0; ++p) {
            if (w + 1 >= capacity) {
                out[0] = 0;
                return false;
            }
            out[w++] = *p;
        }
    }
    out[w] = 0;
    return true;
}
