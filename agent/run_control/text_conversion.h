// Strict conversions between the agent's UTF-8 and the UTF-16 of the Windows
// interfaces. They never replace characters: ill-formed input ends the run.
// Every result is a fresh allocation (malloc) that the caller frees.
#pragma once
#include "agent/platform/platform.h"

constexpr uint32_t WINDOWS_PATH_MAX_UNITS = 32767;

wchar16* utf8_to_wide(const char* text);
char* wide_to_utf8(const wchar16* text);
// directory, a backslash unless the directory is empty or already ends in one, name.
wchar16* join_windows_path(const wchar16* directory, const wchar16* name);

size_t wide_length(const wchar16* text);
// Exact, case-sensitive comparison of UTF-16 texts.
bool wide_equals(const wchar16* a, const wchar16* b);
// The same with ASCII letters folded, all other units compared as they are:
// enough for device names and for two paths both spelled by the system.
bool wide_equals_ignoring_ascii_case(const wchar16* a, const wchar16* b);
// Whether the first `length` units of text are prefix's, ASCII letters folded.
bool wide_begins_ignoring_ascii_case(const wchar16* text, const wchar16* prefix, size_t length);
