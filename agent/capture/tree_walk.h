// Depth-first walk of the source tree into manifest records and chunks.
#pragma once
#include "agent/platform/platform.h"

// Captures one entry and, for a directory, everything below it: `windows_path`
// in the long form of source_root, `relative_path` "." for the root, depth 0
// for the root. Every failure ends the run.
void walk_entry(const wchar16* windows_path, const char* relative_path, int depth);

// Whether an --exclude prefix covers the relative path: the path begins with
// the exclusion (ASCII letters compared without case, everything else exactly)
// and ends there or continues with "/". The first match decides.
bool is_excluded(const char* relative_path);

// Opens a directory as the walk does (READ_CONTROL, every sharing, backup
// semantics, the reparse point itself); PLATFORM_INVALID_HANDLE on failure.
PlatformHandle open_walk_directory(const wchar16* windows_path);
