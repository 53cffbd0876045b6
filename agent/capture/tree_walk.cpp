#include "agent/capture/tree_walk.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "agent/capture/alternate_streams.h"
#include "agent/capture/content_chunks.h"
#include "agent/capture/entry_record.h"
#include "agent/capture/reparse_tags.h"
#include "agent/run_control/fatal_error.h"
#include "agent/run_control/run_state.h"
#include "agent/run_control/source_path.h"
#include "agent/run_control/text_conversion.h"
#include "core/byte_order.h"
#include "core/manifest_format.h"

constexpr uint32_t DIRECTORY_ACCESS = WIN_READ_CONTROL;
constexpr uint32_t DIRECTORY_SHARE = WIN_FILE_SHARE_READ | WIN_FILE_SHARE_WRITE | WIN_FILE_SHARE_DELETE;
constexpr uint32_t DIRECTORY_FLAGS = WIN_FILE_FLAG_BACKUP_SEMANTICS | WIN_FILE_FLAG_OPEN_REPARSE_POINT;
constexpr uint32_t REPARSE_ACCESS = WIN_READ_CONTROL;
constexpr uint32_t FILE_ACCESS = WIN_GENERIC_READ | WIN_READ_CONTROL;
constexpr uint32_t FILE_SHARE = WIN_FILE_SHARE_READ;
constexpr uint32_t FILE_FLAGS =
    WIN_FILE_FLAG_BACKUP_SEMANTICS | WIN_FILE_FLAG_OPEN_REPARSE_POINT | WIN_FILE_FLAG_SEQUENTIAL_SCAN;
constexpr uint32_t PRESENTED_FILE_FLAGS = WIN_FILE_FLAG_BACKUP_SEMANTICS | WIN_FILE_FLAG_SEQUENTIAL_SCAN;

static char fold_ascii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

// Both texts are well-formed UTF-8 (the path from wide_to_utf8, the exclusions
// from the command line), so comparing their bytes is comparing their
// characters: only ASCII letters fold, and "/" is never part of another one.
bool is_excluded(const char* relative_path) {
  for (uint32_t i = 0; i < exclusion_list.count; ++i) {
    const char* prefix = exclusion_list.prefixes[i];
    size_t at = 0;
    while (prefix[at] != 0 && fold_ascii(prefix[at]) == fold_ascii(relative_path[at])) ++at;
    if (prefix[at] != 0) continue;
    if (relative_path[at] == 0 || relative_path[at] == '/') return true;
  }
  return false;
}

static bool is_dot_or_dot_dot(const wchar16* name) {
  return (name[0] == u'.' && name[1] == 0) || (name[0] == u'.' && name[1] == u'.' && name[2] == 0);
}

static char* child_relative_path(const char* parent, const char* name) {
  bool below_root = strcmp(parent, ".") == 0;
  size_t length = below_root ? strlen(name) : strlen(parent) + 1 + strlen(name);
  if (length > kManifestMaxPathLength) fatal_error("path too long");
  auto* path = static_cast<char*>(malloc(length + 1));
  if (path == nullptr) fatal_error("out of memory");
  if (below_root) {
    memcpy(path, name, length + 1);
  } else {
    snprintf(path, length + 1, "%s/%s", parent, name);
  }
  return path;
}

// The reparse buffer is what the entry record reserves room for.
static_assert(WIN_REPARSE_BUFFER_BYTES <= kAttributeReparseMaxLength, "reparse data must fit the entry record");

// A reparse point is recorded with its data and never followed: no content,
// no streams, no change check. Returns false, with the handle still open, when
// the tag says a filter presents the entry's own data instead and that data is
// on this machine (`online_only` clear).
static bool capture_reparse_placeholder(PlatformHandle handle, const PlatformFileInformation& information,
                                        const char* relative_path, bool online_only) {
  auto* buffer = static_cast<uint8_t*>(malloc(WIN_REPARSE_BUFFER_BYTES));
  if (buffer == nullptr) fatal_error("out of memory");
  if (strcmp(relative_path, ".") == 0) fatal_error("source root cannot be a reparse point");
  uint32_t returned = 0;
  if (!platform_reparse_data(handle, buffer, WIN_REPARSE_BUFFER_BYTES, &returned) || returned < 8) {
    fatal_error("read reparse metadata: %s", relative_path);
  }
  bool bears_data = !online_only && reparse_tag_bears_data(get_u32le(buffer));
  if (!bears_data) write_entry_record(handle, information, relative_path, false, 0, buffer, returned);
  free(buffer);
  if (bears_data) return false;
  platform_close_handle(handle);
  run_counters.reparse_placeholders++;
  return true;
}

static void walk_listed_entry(const wchar16* windows_path, const char* relative_path, int depth,
                              uint32_t listed_attributes);

static void capture_directory_children(const wchar16* windows_path, const char* relative_path, int depth) {
  wchar16* pattern = join_windows_path(windows_path, u"*");
  wchar16 name[WIN_MAX_PATH];
  uint32_t listed_attributes = 0;
  PlatformHandle search = platform_find_first_file(pattern, name, &listed_attributes);
  if (search == PLATFORM_INVALID_HANDLE) {
    // The code is read before anything else can change it.
    if (platform_last_error() != WIN_ERROR_FILE_NOT_FOUND) fatal_error("enumerate directory: %s", relative_path);
    free(pattern);
    return;  // no entries at all
  }
  free(pattern);
  do {
    if (is_dot_or_dot_dot(name)) continue;
    char* name_utf8 = wide_to_utf8(name);
    char* child_path = child_relative_path(relative_path, name_utf8);
    free(name_utf8);
    wchar16* child_windows_path = join_windows_path(windows_path, name);
    // The child reads its attributes afresh; of the listing's, only the one
    // that nothing else reports is used.
    walk_listed_entry(child_windows_path, child_path, depth + 1, listed_attributes);
    free(child_windows_path);
    free(child_path);
  } while (platform_find_next_file(search, name, &listed_attributes));
  if (platform_last_error() != WIN_ERROR_NO_MORE_FILES) fatal_error("enumeration interrupted: %s", relative_path);
  platform_find_close(search);
}

// The "after" picture must match the "before" one: a last-write time or size
// that moved means the record may not describe what was read.
static void require_unchanged(PlatformHandle handle, const PlatformFileInformation& before,
                              const char* relative_path) {
  PlatformFileInformation after;
  if (!platform_file_information(handle, &after) || after.last_write_time != before.last_write_time ||
      after.size_high != before.size_high || after.size_low != before.size_low) {
    fatal_error("source changed during backup: %s", relative_path);
  }
}

// Data that is not on this machine is never asked for: reading it makes the
// sync provider download it (or, from the SYSTEM account, refuse, and the run
// fails every night). A file says so by its attributes; a folder whose
// contents the provider has not brought in says so only in its parent's
// listing, and listing it would fetch them.
constexpr uint32_t DATA_NOT_LOCAL = WIN_FILE_ATTRIBUTE_RECALL_ON_DATA_ACCESS | WIN_FILE_ATTRIBUTE_OFFLINE;

static bool online_only(bool directory, uint32_t attributes, uint32_t listed_attributes) {
  if (directory) return (listed_attributes & WIN_FILE_ATTRIBUTE_RECALL_ON_OPEN) != 0;
  return (attributes & DATA_NOT_LOCAL) != 0;
}

PlatformHandle open_walk_directory(const wchar16* windows_path) {
  return platform_create_file(windows_path, DIRECTORY_ACCESS, DIRECTORY_SHARE, WIN_OPEN_EXISTING, DIRECTORY_FLAGS);
}

void walk_entry(const wchar16* windows_path, const char* relative_path, int depth) {
  walk_listed_entry(windows_path, relative_path, depth, 0);
}

// The walk spells every entry from source_root; the manifest's final path
// spells it the system's way (long names, on-disk case, subst drives and links
// resolved). The root's own final path, from the walk's handle to it, puts both
// in the same terms, so that any spelling of the source skips the manifest. A
// shadow copy cannot hold the manifest, and its root has no DOS name to ask.
// Where the system will not name the root, the walk meets a manifest inside
// the source and fails on it; it never captures it.
static void locate_manifest_in_source(PlatformHandle root) {
  static wchar16 root_final[CANONICAL_PATH_UNITS];
  if (run_options.vss_writers || manifest_canonical_path[0] == 0) return;
  if (!source_final_path_beside_manifest(root, root_final)) return;
  size_t length = wide_length(root_final);
  if (!wide_begins_ignoring_ascii_case(manifest_canonical_path, root_final, length)) return;
  const wchar16* below = manifest_canonical_path + length;
  if (length > 0 && root_final[length - 1] != u'\\') {
    if (*below != u'\\') return;  // a sibling whose name only begins like the root's
    ++below;
  }
  if (*below != 0) manifest_in_source = join_windows_path(source_root, below);
}

static void walk_listed_entry(const wchar16* windows_path, const char* relative_path, int depth,
                              uint32_t listed_attributes) {
  if (depth > static_cast<int>(kManifestMaxDepth)) fatal_error("directory nesting exceeds 128");
  if (is_excluded(relative_path)) return;
  // The manifest may live inside the source; it never captures itself.
  if (manifest_in_source != nullptr && wide_equals_ignoring_ascii_case(windows_path, manifest_in_source)) return;

  uint32_t attributes = platform_file_attributes(windows_path);
  if (attributes == WIN_INVALID_FILE_ATTRIBUTES) fatal_error("stat: %s", relative_path);
  if ((attributes & WIN_FILE_ATTRIBUTE_ENCRYPTED) != 0) {
    fatal_error("EFS file requires a dedicated recovery policy: %s", relative_path);
  }
  bool directory = (attributes & WIN_FILE_ATTRIBUTE_DIRECTORY) != 0;
  bool reparse = (attributes & WIN_FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  // Only a placeholder's own reparse data can stand for what is not here.
  if (!reparse && online_only(directory, attributes, listed_attributes)) {
    fatal_error("content is online only, not on this machine: %s", relative_path);
  }

  PlatformHandle handle;
  if (directory) {
    handle = open_walk_directory(windows_path);
  } else if (reparse) {
    handle = platform_create_file(windows_path, REPARSE_ACCESS, FILE_SHARE, WIN_OPEN_EXISTING, FILE_FLAGS);
  } else {
    handle = platform_create_file(windows_path, FILE_ACCESS, FILE_SHARE, WIN_OPEN_EXISTING, FILE_FLAGS);
  }
  if (handle == PLATFORM_INVALID_HANDLE) fatal_error("open (locked or denied): %s", relative_path);

  PlatformFileInformation information;
  if (!platform_file_information(handle, &information)) fatal_error("file information: %s", relative_path);
  // The entry may have been replaced between the two looks: what was opened
  // must still be the kind it was opened as, and a plain entry must not have
  // become a reparse point (it would be recorded as plain, without its data)
  // nor lost its data to the cloud (nothing has been read yet).
  if (((information.attributes ^ attributes) & WIN_FILE_ATTRIBUTE_DIRECTORY) != 0 ||
      ((information.attributes & ~attributes) & WIN_FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
      (!reparse && online_only(directory, information.attributes, 0))) {
    fatal_error("source changed during backup: %s", relative_path);
  }

  if (reparse) {
    bool not_here = online_only(directory, attributes | information.attributes, listed_attributes);
    if (capture_reparse_placeholder(handle, information, relative_path, not_here)) return;
    // A file whose filter presents its content is opened again without
    // FILE_FLAG_OPEN_REPARSE_POINT, so that reads return what the filter
    // presents; a folder is enumerated as it is.
    if (!directory) {
      platform_close_handle(handle);
      handle = platform_create_file(windows_path, FILE_ACCESS, FILE_SHARE, WIN_OPEN_EXISTING, PRESENTED_FILE_FLAGS);
      if (handle == PLATFORM_INVALID_HANDLE) fatal_error("open (locked or denied): %s", relative_path);
      if (!platform_file_information(handle, &information)) fatal_error("file information: %s", relative_path);
      if ((information.attributes & WIN_FILE_ATTRIBUTE_DIRECTORY) != 0 ||
          online_only(false, information.attributes, 0)) {
        fatal_error("source changed during backup: %s", relative_path);
      }
    }
  }
  if (directory) {
    if (depth == 0) locate_manifest_in_source(handle);
    write_entry_record(handle, information, relative_path, true, 0, nullptr, 0);
    run_counters.directories++;
    // The directory stays open while its subtree is walked.
    capture_directory_children(windows_path, relative_path, depth);
  } else {
    int64_t size = 0;
    if (!platform_file_size(handle, &size) || size < 0) fatal_error("file size: %s", relative_path);
    write_entry_record(handle, information, relative_path, false, static_cast<uint64_t>(size), nullptr, 0);
    read_content_chunks(handle, static_cast<uint64_t>(size), relative_path);
    run_counters.files++;
  }
  capture_alternate_streams(windows_path, relative_path);
  require_unchanged(handle, information, relative_path);
  platform_close_handle(handle);
}
