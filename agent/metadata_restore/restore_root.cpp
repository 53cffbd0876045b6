#include "agent/metadata_restore/restore_root.h"

#include <cstdlib>

#include "agent/run_control/fatal_error.h"
#include "agent/run_control/process_resources.h"
#include "agent/run_control/source_path.h"
#include "agent/run_control/text_conversion.h"

static bool is_long_form(const wchar16* path) {
  return path[0] == u'\\' && path[1] == u'\\' && path[2] == u'?' && path[3] == u'\\';
}

uint32_t build_restore_root(const wchar16* source, wchar16* root) {
  static wchar16 full[RESTORE_BUFFER_UNITS];
  uint32_t length = platform_full_path(source, RESTORE_BUFFER_UNITS, full);
  if (length == 0 || length > RESTORE_PATH_MAX_UNITS) fatal_error("Restore root path");

  if (is_long_form(full)) {
    // Already long. GetFullPathNameW collapses doubled backslashes in this form
    // too, so the loop only guards against one that left them; a single
    // trailing backslash stays, since trimming to a bare "\\?\D:" or
    // "\\?\Volume{...}" would name the volume device instead of its root.
    while (length > 5 && full[length - 1] == u'\\' && full[length - 2] == u'\\') --length;
  } else {
    // "D:\restore\\" becomes "D:\restore"; the drive root "D:\" keeps its backslash.
    while (length > 3 && full[length - 1] == u'\\') --length;
  }
  full[length] = 0;

  wchar16* long_form = long_form_source_root(full);
  size_t long_length = wide_length(long_form);
  if (long_length > RESTORE_PATH_MAX_UNITS) fatal_error("Restore root path");
  for (size_t i = 0; i <= long_length; ++i) root[i] = long_form[i];
  free(long_form);

  uint32_t attributes = platform_file_attributes(root);
  if (attributes == WIN_INVALID_FILE_ATTRIBUTES || (attributes & WIN_FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (attributes & WIN_FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    fatal_error("Restore root must be a real directory");
  }
  return static_cast<uint32_t>(long_length);
}

uint32_t build_metadata_target(const wchar16* root, uint32_t root_length, const wchar16* relative,
                               wchar16* target) {
  size_t relative_length = wide_length(relative);
  if (root_length + relative_length + 2 > RESTORE_PATH_MAX_UNITS) fatal_error("Metadata path too long");
  uint32_t at = 0;
  for (; at < root_length; ++at) target[at] = root[at];
  // "\\?\D:\r\." would reach the file system as a name "."; the root is the root.
  if (relative_length == 1 && relative[0] == u'.') {
    target[at] = 0;
    return at;
  }
  if (root_length > 0 && root[root_length - 1] != u'\\') target[at++] = u'\\';
  uint32_t record_start = at;
  for (size_t i = 0; i < relative_length; ++i) target[at++] = relative[i];
  target[at] = 0;
  return record_start;
}

uint32_t hold_restore_root(const wchar16* root, wchar16* name, uint32_t* volume_serial) {
  restore_root_handle = platform_create_file(root, WIN_FILE_LIST_DIRECTORY, WIN_FILE_SHARE_READ | WIN_FILE_SHARE_WRITE,
                                             WIN_OPEN_EXISTING,
                                             WIN_FILE_FLAG_BACKUP_SEMANTICS | WIN_FILE_FLAG_OPEN_REPARSE_POINT);
  if (restore_root_handle == PLATFORM_INVALID_HANDLE) {
    restore_root_handle = nullptr;
    fatal_error("Restore root must be a real directory");
  }
  PlatformFileInformation information;
  if (!platform_file_information(restore_root_handle, &information) ||
      (information.attributes & WIN_FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (information.attributes & WIN_FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    fatal_error("Restore root must be a real directory");
  }
  *volume_serial = information.volume_serial;
  uint32_t length = platform_file_name(restore_root_handle, name, RESTORE_BUFFER_UNITS);
  if (length == 0) fatal_error("Restore root path");
  return length;
}

bool reached_below_root(const wchar16* root_name, uint32_t root_name_length, const wchar16* relative,
                        uint32_t relative_length, const wchar16* target_name, uint32_t target_name_length) {
  // "a/" names the directory a; the file system's name carries none.
  if (relative_length > 0 && relative[relative_length - 1] == u'\\') --relative_length;
  if (relative_length == 0) {
    return platform_same_names(target_name, target_name_length, root_name, root_name_length);
  }
  // The volume's root is "\\" already.
  uint32_t separator = root_name[root_name_length - 1] == u'\\' ? 0 : 1;
  if (target_name_length != root_name_length + separator + relative_length) return false;
  return platform_same_names(target_name, root_name_length, root_name, root_name_length) &&
         (separator == 0 || target_name[root_name_length] == u'\\') &&
         platform_same_names(target_name + root_name_length + separator, relative_length, relative,
                             relative_length);
}
