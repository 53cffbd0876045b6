// One record: path rules, target, descriptor checks, then descriptor, times and
// attributes. The target is opened unshared, so nobody changes it in between.
#include <cstdlib>

#include "agent/metadata_restore/metadata_file_access.h"
#include "agent/metadata_restore/metadata_path_rules.h"
#include "agent/metadata_restore/metadata_restore_run.h"
#include "agent/metadata_restore/security_descriptor_rules.h"
#include "agent/run_control/fatal_error.h"
#include "agent/run_control/text_conversion.h"

static void check_path(const MetadataRestoreRun& run, uint32_t length) {
  switch (check_metadata_path(run.path, length)) {
    case MetadataPathCheck::ok:
      return;
    case MetadataPathCheck::unsafe_path:
      fatal_error("Unsafe metadata path or ADS: restore streams separately");
    case MetadataPathCheck::unsafe_component:
      fatal_error("Unsafe Windows path component");
  }
}

// Every directory between the root and the target must exist and be no link:
// a junction planted there would carry the administrator's writes elsewhere.
static void check_parents(MetadataRestoreRun& run, uint32_t record_start) {
  for (uint32_t i = record_start; run.target[i] != 0; ++i) {
    if (run.target[i] != u'\\') continue;
    run.target[i] = 0;
    uint32_t attributes = platform_file_attributes(run.target);
    run.target[i] = u'\\';
    if (attributes == WIN_INVALID_FILE_ATTRIBUTES || (attributes & WIN_FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      fatal_error("Reparse parent in restore path");
    }
  }
}

// The target is opened unshared; the root itself shares reading with the hold
// on it. Once open, the handle must be the entry the record names: on the held
// root's volume, reached by that very name below the root (no junction swapped
// in on the way) and, for a file, its only name (no hard link to a file outside
// the tree). The system names what the handle reached, so nothing that changes
// after the open can fool the check.
static PlatformHandle open_target(MetadataRestoreRun& run, uint32_t kind, uint32_t record_start) {
  bool root = run.target[record_start] == 0;
  PlatformHandle target = platform_create_file(run.target, run.access_mask, root ? WIN_FILE_SHARE_READ : 0,
                                               WIN_OPEN_EXISTING,
                                               WIN_FILE_FLAG_BACKUP_SEMANTICS | WIN_FILE_FLAG_OPEN_REPARSE_POINT);
  if (target == PLATFORM_INVALID_HANDLE) fatal_error("Metadata target missing, linked or wrong type");
  PlatformFileInformation information;
  if (!platform_file_information(target, &information)) {
    fatal_error("Metadata target missing, linked or wrong type");
  }
  bool directory = (information.attributes & WIN_FILE_ATTRIBUTE_DIRECTORY) != 0;
  if ((information.attributes & WIN_FILE_ATTRIBUTE_REPARSE_POINT) != 0 || (directory && kind == kMetadataKindFile) ||
      (!directory && kind == kMetadataKindDirectory)) {
    fatal_error("Metadata target missing, linked or wrong type");
  }
  uint32_t name_length = platform_file_name(target, run.target_name, RESTORE_BUFFER_UNITS);
  uint32_t relative_length = static_cast<uint32_t>(wide_length(run.target + record_start));
  if ((!directory && information.link_count != 1) || information.volume_serial != run.root_volume_serial ||
      name_length == 0 ||
      !reached_below_root(run.root_name, run.root_name_length, run.target + record_start, relative_length,
                          run.target_name, name_length)) {
    fatal_error("Metadata target missing, linked or wrong type: %s", run.path);
  }
  return target;
}

// Our own structural rules first, so that the system's routines only ever see
// bytes whose offsets stay inside the descriptor; then the system's view.
static uint16_t check_descriptor(const MetadataRestoreRun& run, uint32_t length) {
  if (!validate_security_descriptor(run.descriptor, length) ||
      !platform_is_valid_security_descriptor(run.descriptor) ||
      platform_security_descriptor_length(run.descriptor) != length) {
    fatal_error("Invalid security descriptor");
  }
  uint16_t control = 0;
  uint32_t revision = 0;
  if (!platform_security_descriptor_control(run.descriptor, &control, &revision)) {
    fatal_error("Security descriptor control");
  }
  return control;
}

void apply_metadata_record(MetadataRestoreRun& run, uint64_t offset, const MetadataRecordHeader& header) {
  uint64_t path_offset = offset + kMetadataRecordHeaderSize;
  read_metadata_at(run.file, path_offset, run.path, header.path_length);
  run.path[header.path_length] = 0;
  check_path(run, header.path_length);
  if ((header.attributes & WIN_FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    fatal_error("Reparse metadata requires a dedicated restore; no link was created");
  }

  wchar16* relative = utf8_to_wide(run.path);
  for (wchar16* c = relative; *c != 0; ++c) {
    if (*c == u'/') *c = u'\\';
  }
  uint32_t record_start = build_metadata_target(run.root, run.root_length, relative, run.target);
  free(relative);
  check_parents(run, record_start);
  PlatformHandle target = open_target(run, header.kind, record_start);

  for (uint8_t& byte : run.descriptor) byte = 0;
  read_metadata_at(run.file, path_offset + header.path_length, run.descriptor, header.descriptor_length);
  uint16_t control = check_descriptor(run, header.descriptor_length);

  // Only the DACL, and the owner and group with --owner; a SACL is never applied.
  uint32_t information = WIN_DACL_SECURITY_INFORMATION | run.owner_information;
  information |= (control & SD_DACL_PROTECTED) != 0 ? WIN_PROTECTED_DACL_SECURITY_INFORMATION
                                                    : WIN_UNPROTECTED_DACL_SECURITY_INFORMATION;
  if (!platform_set_kernel_object_security(target, information, run.descriptor)) fatal_error("Restore DACL/owner");
  // A creation time of 0 or below is no time Windows can set: 0 means "leave it",
  // -1 and -2 are switches and anything lower is refused. Capture never checks
  // it, so such a record keeps the entry's own creation time and the rest of it
  // is applied.
  const uint64_t* creation_time =
      static_cast<int64_t>(header.creation_time) > 0 ? &header.creation_time : nullptr;
  if (!platform_set_file_time(target, creation_time, nullptr, &header.last_write_time)) {
    fatal_error("Restore file times");
  }
  PlatformBasicInformation basic;
  basic.attributes = header.attributes & RESTORABLE_ATTRIBUTES;
  if (basic.attributes == 0) basic.attributes = WIN_FILE_ATTRIBUTE_NORMAL;
  if (!platform_set_basic_information(target, basic)) fatal_error("Restore file attributes");

  platform_close_handle(target);
  run.restored_count++;
}
