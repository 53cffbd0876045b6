#include "agent/capture/alternate_streams.h"

#include <cstdlib>
#include <cstring>

#include "agent/capture/content_chunks.h"
#include "agent/capture/entry_record.h"
#include "agent/capture/tree_walk.h"
#include "agent/run_control/fatal_error.h"
#include "agent/run_control/run_state.h"
#include "agent/run_control/text_conversion.h"
#include "core/manifest_format.h"

constexpr uint32_t STREAM_ACCESS = WIN_GENERIC_READ | WIN_READ_CONTROL;
constexpr uint32_t STREAM_FLAGS =
    WIN_FILE_FLAG_BACKUP_SEMANTICS | WIN_FILE_FLAG_OPEN_REPARSE_POINT | WIN_FILE_FLAG_SEQUENTIAL_SCAN;
static const wchar16 DATA_SUFFIX[] = u":$DATA";
constexpr size_t DATA_SUFFIX_UNITS = 6;

// ":name:$DATA" -> the relative path of the stream ("f:name"), or a fatal error.
static char* stream_relative_path(const wchar16* full_name, const char* owner_path) {
  size_t units = wide_length(full_name);
  if (units < 8 || full_name[0] != u':' ||
      memcmp(full_name + units - DATA_SUFFIX_UNITS, DATA_SUFFIX, DATA_SUFFIX_UNITS * sizeof(wchar16)) != 0) {
    fatal_error("unsupported NTFS stream");
  }
  wchar16 name[WIN_STREAM_NAME_UNITS];
  memcpy(name, full_name, (units - DATA_SUFFIX_UNITS) * sizeof(wchar16));
  name[units - DATA_SUFFIX_UNITS] = 0;
  char* name_utf8 = wide_to_utf8(name);
  size_t owner_length = strlen(owner_path);
  size_t length = owner_length + strlen(name_utf8);
  if (length > kManifestMaxPathLength) fatal_error("stream path too long");
  auto* path = static_cast<char*>(malloc(length + 1));
  if (path == nullptr) fatal_error("out of memory");
  memcpy(path, owner_path, owner_length);
  memcpy(path + owner_length, name_utf8, length - owner_length + 1);
  free(name_utf8);
  return path;
}

static bool has_prefix(const wchar16* text, const char16_t* prefix) {
  for (size_t i = 0; prefix[i] != 0; ++i) {
    if (text[i] != prefix[i]) return false;
  }
  return true;
}

// How many units of a long-form path name its volume's root, without the
// root's backslash: "\\?\C:", "\\?\UNC\server\share", "\\?\GLOBALROOT\Device\X",
// "\\?\Volume{...}"; 0 when the form is none of these.
static size_t volume_root_units(const wchar16* path, size_t units) {
  size_t at = 0;
  int components = 0;
  if (has_prefix(path, u"\\\\?\\UNC\\")) {
    at = 8;
    components = 2;  // server, share
  } else if (has_prefix(path, u"\\\\?\\GLOBALROOT\\Device\\")) {
    at = 22;
    components = 1;
  } else if (has_prefix(path, u"\\\\?\\Volume{")) {
    at = 4;
    components = 1;
  } else if (units >= 6 && has_prefix(path, u"\\\\?\\") && path[5] == u':') {
    return 6;
  } else {
    return 0;
  }
  for (; components > 0; --components) {
    while (at < units && path[at] != u'\\') ++at;
    if (components > 1) {
      if (at == units) return 0;
      ++at;
    }
  }
  return at;
}

// The owner's Windows path followed by the full stream name. A volume's root
// is followed by its backslash ("\\?\D:\:s", "\\?\UNC\server\share\:s"):
// without it "\\?\UNC\server\share:s" would name a share called "share:s".
// Any other directory is named without a trailing backslash ("\\?\C:\src:s").
static wchar16* stream_windows_path(const wchar16* owner, const wchar16* full_name) {
  size_t owner_units = wide_length(owner);
  while (owner_units > 0 && owner[owner_units - 1] == u'\\') --owner_units;
  bool root = owner_units == volume_root_units(owner, owner_units);
  size_t name_units = wide_length(full_name);
  size_t units = owner_units + (root ? 1 : 0) + name_units;
  if (units + 1 > WINDOWS_PATH_MAX_UNITS) fatal_error("Windows path too long");
  auto* path = static_cast<wchar16*>(malloc((units + 1) * sizeof(wchar16)));
  if (path == nullptr) fatal_error("out of memory");
  memcpy(path, owner, owner_units * sizeof(wchar16));
  if (root) path[owner_units] = u'\\';
  memcpy(path + owner_units + (root ? 1 : 0), full_name, (name_units + 1) * sizeof(wchar16));
  return path;
}

static void capture_stream(const wchar16* owner_windows_path, const PlatformStreamData& stream,
                           const char* stream_path) {
  wchar16* windows_path = stream_windows_path(owner_windows_path, stream.name);
  PlatformHandle handle = platform_create_file(windows_path, STREAM_ACCESS, WIN_FILE_SHARE_READ,
                                               WIN_OPEN_EXISTING, STREAM_FLAGS);
  if (handle == PLATFORM_INVALID_HANDLE) fatal_error("open alternate stream: %s", stream_path);
  free(windows_path);
  PlatformFileInformation information;
  int64_t size = 0;
  // The stream must still have the size that the enumeration reported.
  if (!platform_file_information(handle, &information) || !platform_file_size(handle, &size) || size < 0 ||
      size != stream.size) {
    fatal_error("alternate stream changed: %s", stream_path);
  }
  write_entry_record(handle, information, stream_path, false, static_cast<uint64_t>(size), nullptr, 0);
  read_content_chunks(handle, static_cast<uint64_t>(size), stream_path);
  platform_close_handle(handle);
  run_counters.alternate_streams++;
}

void capture_alternate_streams(const wchar16* windows_path, const char* relative_path) {
  PlatformStreamData stream;
  PlatformHandle search = platform_find_first_stream(windows_path, &stream);
  if (search == PLATFORM_INVALID_HANDLE) {
    uint32_t code = platform_last_error();
    // No named streams, no stream support on this file system, or nothing to list.
    if (code == WIN_ERROR_HANDLE_EOF || code == WIN_ERROR_NOT_SUPPORTED || code == WIN_ERROR_INVALID_PARAMETER) return;
    fatal_error("enumerate alternate streams: %s", relative_path);
  }
  do {
    if (wide_equals(stream.name, u"::$DATA")) continue;  // the content itself
    char* stream_path = stream_relative_path(stream.name, relative_path);
    if (!is_excluded(stream_path)) capture_stream(windows_path, stream, stream_path);
    free(stream_path);
  } while (platform_find_next_stream(search, &stream));
  if (platform_last_error() != WIN_ERROR_HANDLE_EOF) fatal_error("stream enumeration interrupted");
  platform_find_close(search);
}
