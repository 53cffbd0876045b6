// Which record paths apply-metadata accepts. A record path comes from a file
// made elsewhere and names what an administrator will rewrite, so it may only
// name an entry strictly inside the restore root: no absolute or rooted form,
// no stream, no way up and no name that Windows would quietly alter.
#pragma once
#include <cstdint>

enum class MetadataPathCheck {
  ok,
  unsafe_path,       // NUL byte, leading "/", backslash or ":" (stream names)
  unsafe_component,  // empty component, or one ending in "." or a space ("." and ".." included)
};

// path holds length bytes followed by a NUL (the reader puts it there).
MetadataPathCheck check_metadata_path(const char* path, uint32_t length);
