// Splits a Windows command line into its elements by the runtime's quoting
// rules: 2k backslashes before a quote give k and the quote toggles quoting,
// 2k+1 give k and a literal quote, other backslashes are literal. The first
// element follows the same rules, so a line that begins with a space (as the
// agent builds it) still yields the program path first.
#pragma once

#include <string>
#include <vector>

std::vector<std::u16string> split_command_line(const std::u16string& line);
