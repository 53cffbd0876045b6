// The source directory as an absolute path in the "\\?\" long form.
#pragma once
#include "agent/platform/platform.h"

constexpr uint32_t FULL_PATH_MAX_UNITS = 32759;

// GetFullPathNameW of the UTF-8 source ("absolute source path"); malloc'd.
wchar16* resolve_source_path(const char* source);
// "\\?\" form kept; "\\server\share" becomes "\\?\UNC\server\share"; any other
// path gets "\\?\" in front. A drive root keeps its trailing backslash.
wchar16* long_form_source_root(const wchar16* full_path);
// The root must be a directory and not a reparse point.
void require_real_directory(const wchar16* root);
// The final path of a handle to the source root (GetFinalPathNameByHandleW,
// DOS form) into `buffer` of CANONICAL_PATH_UNITS: long names, on-disk case,
// subst drives and links above the root resolved, so that every spelling of
// one directory gives one text. False when the root's volume has no DOS name;
// any other failure ends the run with "canonical source path".
bool source_final_path(PlatformHandle root, wchar16* buffer);
