#include "agent/metadata_restore/metadata_path_rules.h"

#include <cstring>

MetadataPathCheck check_metadata_path(const char* path, uint32_t length) {
  if (strlen(path) != length) return MetadataPathCheck::unsafe_path;
  if (length == 0) return MetadataPathCheck::unsafe_component;
  if (path[0] == '/') return MetadataPathCheck::unsafe_path;
  if (memchr(path, '\\', length) != nullptr || memchr(path, ':', length) != nullptr) {
    return MetadataPathCheck::unsafe_path;
  }
  // "." alone names the restore root itself.
  if (length == 1 && path[0] == '.') return MetadataPathCheck::ok;

  uint32_t start = 0;
  while (start < length) {
    uint32_t stop = start;
    while (stop < length && path[stop] != '/') ++stop;
    if (stop == start) return MetadataPathCheck::unsafe_component;
    char last = path[stop - 1];
    // Windows drops trailing dots and spaces, so "a." would reach "a"; this
    // also refuses "." and "..".
    if (last == '.' || last == ' ') return MetadataPathCheck::unsafe_component;
    if (stop == length) break;
    start = stop + 1;
  }
  return MetadataPathCheck::ok;
}
