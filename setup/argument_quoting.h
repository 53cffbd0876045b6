// Quoting of one element of the installer's command line. The setup program has
// its own routine: its bounds differ from the agent's quoting and nothing of the
// agent is linked into the setup.
#pragma once

#include <cstddef>

// Appends `argument`, enclosed in double quotes and escaped by the Windows
// command-line rules, to the zero-terminated text in `buffer` (capacity in
// UTF-16 units, terminator included); a blank separates it from earlier
// elements. Returns false when it does not fit; the buffer is then abandoned.
bool append_bounded_argument(char16_t* buffer, size_t capacity, const char16_t* argument);
