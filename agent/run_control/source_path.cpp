#include "agent/run_control/source_path.h"

#include <cstdlib>
#include <cstring>

#include "agent/run_control/fatal_error.h"
#include "agent/run_control/run_state.h"
#include "agent/run_control/text_conversion.h"

wchar16* resolve_source_path(const char* source) {
  wchar16* wide = utf8_to_wide(source);
  auto* full = static_cast<wchar16*>(malloc(32768 * sizeof(wchar16)));
  if (full == nullptr) fatal_error("out of memory");
  uint32_t length = platform_full_path(wide, 32768, full);
  if (length == 0 || length > FULL_PATH_MAX_UNITS) fatal_error("absolute source path");
  free(wide);
  return full;
}

static bool starts_with(const wchar16* text, const char16_t* prefix) {
  for (size_t i = 0; prefix[i] != 0; ++i) {
    if (text[i] != prefix[i]) return false;
  }
  return true;
}

wchar16* long_form_source_root(const wchar16* full_path) {
  size_t length = wide_length(full_path);
  auto* root = static_cast<wchar16*>(malloc((length + 10) * sizeof(wchar16)));
  if (root == nullptr) fatal_error("out of memory");
  const char16_t* prefix = u"\\\\?\\";
  const wchar16* rest = full_path;
  if (starts_with(full_path, u"\\\\?\\")) {
    prefix = u"";
  } else if (starts_with(full_path, u"\\\\")) {
    prefix = u"\\\\?\\UNC\\";
    rest = full_path + 2;
  }
  size_t at = 0;
  for (size_t i = 0; prefix[i] != 0; ++i) root[at++] = prefix[i];
  for (size_t i = 0; rest[i] != 0; ++i) root[at++] = rest[i];
  root[at] = 0;
  return root;
}

void require_real_directory(const wchar16* root) {
  uint32_t attributes = platform_file_attributes(root);
  if (attributes == WIN_INVALID_FILE_ATTRIBUTES || (attributes & WIN_FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (attributes & WIN_FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    fatal_error("source must be a real directory");
  }
}

bool source_final_path(PlatformHandle root, wchar16* buffer) {
  uint32_t length = platform_final_path(root, buffer, CANONICAL_PATH_UNITS);
  if (length == 0 && platform_last_error() == WIN_ERROR_PATH_NOT_FOUND) return false;
  if (length == 0 || length >= CANONICAL_PATH_UNITS) fatal_error("canonical source path");
  return true;
}
