#include "agent/run_control/source_path.h"

#include <cstdlib>
#include <cstring>

#include "agent/capture/tree_walk.h"
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
  } else if (starts_with(full_path, u"\\\\.\\")) {
    // "\\.\C:\src" is a device path already, not a share on a server ".";
    // normalized, it names what "\\?\C:\src" names.
    rest = full_path + 4;
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

bool source_final_path_beside_manifest(PlatformHandle root, wchar16* buffer) {
  static const char16_t unc[] = u"\\\\?\\UNC\\";
  uint32_t length = platform_final_path(root, buffer, CANONICAL_PATH_UNITS);
  if (length >= CANONICAL_PATH_UNITS) fatal_error("canonical source path");
  if (length != 0) return true;
  if (platform_last_error() == WIN_ERROR_PATH_NOT_FOUND) return false;
  // Refused: an SMB server that cannot name a normalized path and an account
  // that may not open some parent of the root (SYSTEM on \\server\share\folder),
  // or a file system that will not say (Wine past MAX_PATH). A root on a share
  // cannot hold a manifest that is not on one.
  size_t prefix = sizeof unc / sizeof unc[0] - 1;
  if (wide_begins_ignoring_ascii_case(source_root, unc, prefix) &&
      !wide_begins_ignoring_ascii_case(manifest_canonical_path, unc, prefix)) {
    return false;
  }
  // The name as opened needs no parent opened again. Without it as well the
  // walk meets a manifest inside the source, whose open fails on its sharing.
  length = platform_final_path_opened(root, buffer, CANONICAL_PATH_UNITS);
  return length != 0 && length < CANONICAL_PATH_UNITS;
}

// Serial numbers and file IDs of a shadow copy equal the live volume's, so
// they prove nothing; only the final path names the device reached. Object
// names compare without case, as the object manager compares them.
void require_inside_snapshot(const wchar16* path, const wchar16* device_path) {
  static const char16_t global_root[] = u"\\\\?\\GLOBALROOT";
  const wchar16* device = device_path;
  size_t prefix = sizeof global_root / sizeof global_root[0] - 1;
  if (wide_length(device) > prefix && wide_begins_ignoring_ascii_case(device, global_root, prefix)) device += prefix;
  // Opened as the walk will open it.
  PlatformHandle handle = open_walk_directory(path);
  if (handle == PLATFORM_INVALID_HANDLE) fatal_error("VSS snapshot source cannot be opened");
  static wchar16 nt_path[CANONICAL_PATH_UNITS];
  uint32_t length = platform_final_path_nt(handle, nt_path, CANONICAL_PATH_UNITS);
  uint32_t code = platform_last_error();
  platform_close_handle(handle);
  platform_set_last_error(code);
  if (length == 0 || length >= CANONICAL_PATH_UNITS) fatal_error("VSS snapshot source cannot be opened");
  size_t device_length = wide_length(device);
  bool inside = length >= device_length && (nt_path[device_length] == 0 || nt_path[device_length] == u'\\') &&
                wide_begins_ignoring_ascii_case(nt_path, device, device_length);
  if (!inside) fatal_error("VSS snapshot source leads out of the shadow copy");
}

void require_source_on_its_device(const wchar16* root) {
  static const char16_t device_prefix[] = u"\\\\?\\GLOBALROOT\\Device\\";
  size_t prefix = sizeof device_prefix / sizeof device_prefix[0] - 1;
  if (!wide_begins_ignoring_ascii_case(root, device_prefix, prefix)) return;
  size_t end = prefix;
  while (root[end] != 0 && root[end] != u'\\') ++end;
  auto* device = static_cast<wchar16*>(malloc((end + 1) * sizeof(wchar16)));
  if (device == nullptr) fatal_error("out of memory");
  memcpy(device, root, end * sizeof(wchar16));
  device[end] = 0;
  require_inside_snapshot(root, device);
  free(device);
}
