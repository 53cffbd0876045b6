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
// The same text for finding the manifest inside the source, or false when no
// comparison is to be made, in this order: the root's volume has no DOS name;
// the normalized query is refused for a root on a share ("\\?\UNC\") while
// the manifest is not on one; the query without normalization
// (FILE_NAME_OPENED) fails too. A refused normalized query otherwise gives the
// name as opened. Only a result longer than the buffer ends the run
// ("canonical source path").
bool source_final_path_beside_manifest(PlatformHandle root, wchar16* buffer);
// What the walk opens at `path` must lie on the device that `device_path`
// names ("\\?\GLOBALROOT\Device\X", or "\Device\X"): the root's final path in
// NT form begins with that device, or the run ends with "VSS snapshot source
// leads out of the shadow copy" ("... cannot be opened" when the root cannot be
// opened or named). A junction, directory link or mounted folder met on the
// way inside a shadow copy leads to the live volume that it names.
void require_inside_snapshot(const wchar16* path, const wchar16* device_path);
// A source spelled on a device ("\\?\GLOBALROOT\Device\Name\..."), as a
// shadow copy made by the caller is, is held to that device the same way;
// other sources pass.
void require_source_on_its_device(const wchar16* root);
