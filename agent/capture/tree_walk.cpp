#include "agent/capture/tree_walk.h"

// The walk records nothing yet: entries, streams and content come with the
// capture of the source tree.
void walk_entry(const wchar16* windows_path, const char* relative_path, int depth) {
  (void)windows_path;
  (void)relative_path;
  (void)depth;
}
