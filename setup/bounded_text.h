// Zero-terminated UTF-16 texts in fixed buffers. Every routine here refuses to
// cut a text short: a result that would not fit is an error, never a shorter path.
#pragma once

#include <cstddef>

// Length of a zero-terminated text.
size_t text_length(const char16_t* text);

// True when both texts hold the same units.
bool texts_equal(const char16_t* a, const char16_t* b);

// Writes the concatenation of `count` parts into `out` (capacity in units,
// terminator included). Returns false, leaving `out` empty, when it would not fit.
bool join_texts(char16_t* out, size_t capacity, const char16_t* const* parts, size_t count);
