// Writer-coordinated shadow copy of the source volume (--vss-writers).
#pragma once
#include "agent/platform/platform.h"

// Takes the full source path as GetFullPathNameW gave it (no "\\?\" prefix),
// creates the shadow copy and returns the matching path inside it (malloc).
wchar16* vss_snapshot_source(const wchar16* full_path);
// Completes the VSS backup after the summary and deletes the shadow copy.
void vss_complete_backup();
